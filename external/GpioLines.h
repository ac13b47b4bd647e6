#pragma once
// The GPIO calls of the relay interface, behind a seam of our own: the six
// calls of libgpiod's version-1 interface that reading an input line needs.
// The daemon uses libgpiod; machines without the chip (development, the
// whole-daemon tests) use a stand-in that reads the line values from files.

#include <map>
#include <memory>
#include <string>

class GpioBackend {
public:
    // Opaque handles of an open chip and of one of its lines.
    struct Chip;
    struct Line;

    virtual ~GpioBackend() = default;
    // Null on failure.
    virtual Chip* openChipByLabel(const char* label) = 0;
    // Null on failure.
    virtual Line* getLine(Chip* chip, unsigned offset) = 0;
    // 0 on success, -1 on failure.
    virtual int requestInput(Line* line, const char* consumer) = 0;
    // 0 or 1; negative on failure.
    virtual int getValue(Line* line) = 0;
    virtual void releaseLine(Line* line) = 0;
    virtual void closeChip(Chip* chip) = 0;
};

// libgpiod (the chip of the gateway).
std::unique_ptr<GpioBackend> makeLibgpiodBackend();

// A chip stand-in: a directory with one file per line, named by its offset
// ("12", "13", ...), holding "0" or "1". A missing directory is a missing
// chip, a missing file a missing line, any other content a failed read.
std::unique_ptr<GpioBackend> makeFileGpioBackend(const std::string& directory);

// Name of the environment variable that selects the file stand-in for a
// development machine or a whole-daemon test; the daemon's configuration
// files never do.
inline constexpr const char* kGpioStandInEnv = "IEC_GPIO_STANDIN_DIR";

// The stand-in when kGpioStandInEnv names a directory, libgpiod otherwise.
std::unique_ptr<GpioBackend> makeDefaultGpioBackend();
