#include "external/GpioLines.h"

#include <gpiod.h>

#include <cstdlib>
#include <filesystem>

#include "foundation/ConfigFile.h"
#include "foundation/FileRead.h"

namespace {

constexpr size_t kMaxLineFileBytes = 64;

class LibgpiodBackend final : public GpioBackend {
public:
    Chip* openChipByLabel(const char* label) override {
        return reinterpret_cast<Chip*>(::gpiod_chip_open_by_label(label));
    }
    Line* getLine(Chip* chip, unsigned offset) override {
        return reinterpret_cast<Line*>(::gpiod_chip_get_line(reinterpret_cast<gpiod_chip*>(chip), offset));
    }
    int requestInput(Line* line, const char* consumer) override {
        return ::gpiod_line_request_input(reinterpret_cast<gpiod_line*>(line), consumer);
    }
    int getValue(Line* line) override { return ::gpiod_line_get_value(reinterpret_cast<gpiod_line*>(line)); }
    void releaseLine(Line* line) override { ::gpiod_line_release(reinterpret_cast<gpiod_line*>(line)); }
    void closeChip(Chip* chip) override { ::gpiod_chip_close(reinterpret_cast<gpiod_chip*>(chip)); }
};

class FileBackend final : public GpioBackend {
public:
    explicit FileBackend(std::string directory) : directory_(std::move(directory)) {}

    Chip* openChipByLabel(const char*) override {
        std::error_code error;
        if (!std::filesystem::is_directory(directory_, error)) return nullptr;
        return reinterpret_cast<Chip*>(&directory_);
    }
    Line* getLine(Chip*, unsigned offset) override {
        const std::string path = directory_ + "/" + std::to_string(offset);
        std::error_code error;
        if (!std::filesystem::is_regular_file(path, error)) return nullptr;
        return reinterpret_cast<Line*>(&lines_.insert_or_assign(offset, path).first->second);
    }
    int requestInput(Line*, const char*) override { return 0; }
    int getValue(Line* line) override {
        // A line file holds "0" or "1"; anything that is no small regular file reads as a failed line.
        const fileread::FileText file = fileread::readTextFile(*reinterpret_cast<std::string*>(line), kMaxLineFileBytes);
        if (!file.read()) return -1;
        const std::string text(config::trimBlanks(file.content));
        if (text == "0") return 0;
        if (text == "1") return 1;
        return -1;
    }
    void releaseLine(Line*) override {}
    void closeChip(Chip*) override {}

private:
    std::string directory_;
    std::map<unsigned, std::string> lines_;
};

}  // namespace

std::unique_ptr<GpioBackend> makeLibgpiodBackend() { return std::make_unique<LibgpiodBackend>(); }

std::unique_ptr<GpioBackend> makeFileGpioBackend(const std::string& directory) {
    return std::make_unique<FileBackend>(directory);
}

std::unique_ptr<GpioBackend> makeDefaultGpioBackend() {
    const char* directory = std::getenv(kGpioStandInEnv);
    if (directory != nullptr && *directory != '\0') return makeFileGpioBackend(directory);
    return makeLibgpiodBackend();
}
