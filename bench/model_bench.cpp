// Prints how long building the static model and creating the server on it
// take, and the resident memory of the whole process afterwards.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "bench/BenchStats.h"
#include "iec61850/iec61850_server.h"
#include "model/StaticModel.h"

namespace {

using benchstats::msSince;

constexpr double kGoalCreateMs = 50.0;
constexpr double kGoalResidentMiB = 12.0;
constexpr int kRepeats = 5;

double residentMiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    }
    return -1.0;
}

}  // namespace

int main() {
    const double before = residentMiB();
    auto start = std::chrono::steady_clock::now();
    IedModel* model = getStaticIedModel();
    const double buildMs = msSince(start);

    start = std::chrono::steady_clock::now();
    IedServer server = IedServer_create(model);
    const double createMs = msSince(start);
    const double resident = residentMiB();

    // Later creations on the built model (the model is built once per process).
    double best = createMs;
    for (int i = 0; i < kRepeats; ++i) {
        IedServer_destroy(server);
        start = std::chrono::steady_clock::now();
        server = IedServer_create(model);
        best = std::min(best, msSince(start));
    }
    IedServer_destroy(server);

    std::printf("resident before model:          %8.2f MiB\n", before);
    std::printf("model build (first use):        %8.2f ms\n", buildMs);
    std::printf("IedServer_create (first):       %8.2f ms\n", createMs);
    std::printf("model build + first create:     %8.2f ms (goal < %.0f ms)\n", buildMs + createMs, kGoalCreateMs);
    std::printf("IedServer_create (best of %d):   %8.2f ms\n", kRepeats, best);
    std::printf("resident after creation:        %8.2f MiB (goal < %.0f MiB)\n", resident, kGoalResidentMiB);
    return 0;
}
