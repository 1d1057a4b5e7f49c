// Saved fuzzing inputs, replayed through the same harnesses the fuzz targets run
// (fuzz/*_harness.h), so that the normal suite repeats their checks: inputs that once failed,
// and a few that pin down hard cases (seeks to negative and past-the-end percentages, a pause
// before a bad record, an H.263 stream under an H.264 header, a negative picture size). Each
// file in tests/regressions/ is one input; its name says which harness takes it: reader-*,
// pipeline-* or rings-*. A crash fails the program, a failed check the test.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/pipeline_harness.h"
#include "fuzz/reader_harness.h"
#include "fuzz/rings_harness.h"

namespace vidora {
namespace {

using Bytes = std::vector<uint8_t>;

struct Input {
    std::string name;
    Bytes bytes;
};

// The inputs whose names start with `prefix`, in name order.
std::vector<Input> regressionInputs(const std::string& prefix) {
    std::vector<Input> inputs;
    const std::filesystem::path dir =
        std::filesystem::path(VIDORA_SOURCE_DIR) / "tests/regressions";
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator(dir, error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(prefix, 0) != 0) {
            continue;
        }
        Input input{name, {}};
        if (std::FILE* f = std::fopen(it->path().c_str(), "rb")) {
            uint8_t buffer[65536];
            size_t n;
            while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
                input.bytes.insert(input.bytes.end(), buffer, buffer + n);
            }
            std::fclose(f);
        }
        inputs.push_back(std::move(input));
    }
    std::sort(inputs.begin(), inputs.end(),
              [](const Input& a, const Input& b) { return a.name < b.name; });
    return inputs;
}

class Regressions : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        setenv("SDL_AUDIODRIVER", "dummy", 0);
        setenv("SDL_VIDEODRIVER", "dummy", 0);
    }
};

TEST_F(Regressions, ReaderInputs) {
    Surface surface(120, 80);
    PlaybackEngine engine;
    fuzz::MemoryFile file;
    ASSERT_TRUE(file.valid());
    for (const Input& input : regressionInputs("reader-")) {
        EXPECT_EQ(
            fuzz::runReaderCase(engine, file, surface, input.bytes.data(), input.bytes.size()), "")
            << input.name;
    }
}

TEST_F(Regressions, PipelineInputs) {
    Surface surface(512, 324);
    PlaybackEngine engine;
    fuzz::MemoryFile file;
    ASSERT_TRUE(file.valid());
    for (const Input& input : regressionInputs("pipeline-")) {
        EXPECT_EQ(
            fuzz::runPipelineCase(engine, file, surface, input.bytes.data(), input.bytes.size()),
            "")
            << input.name;
    }
}

TEST_F(Regressions, RingInputs) {
    PlaybackEngine engine;
    for (const Input& input : regressionInputs("rings-")) {
        EXPECT_EQ(fuzz::runRingsCase(engine, input.bytes.data(), input.bytes.size()), "")
            << input.name;
    }
}

}  // namespace
}  // namespace vidora
