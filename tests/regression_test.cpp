// Saved fuzzing inputs, replayed through the harnesses the fuzz targets run (fuzz/*_harness.h),
// so that the normal suite repeats their checks: inputs that once failed, and a few that pin
// down hard cases (seeks to negative and past-the-end percentages, a bad date after the first
// record, an H.263 stream under an H.264 header, a negative picture size). Each file in
// tests/regressions/ is one input; its name says which harness takes it.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "fuzz/pipeline_harness.h"
#include "fuzz/reader_harness.h"
#include "fuzz/rings_harness.h"
#include "support/recording_bytes.h"

namespace vidora {
namespace {

TEST(Regressions, EverySavedInputPassesItsHarness) {
    fuzz::MemoryFile file;
    Surface surface(512, 324);
    Surface second(332, 236);
    PlaybackEngine engine(Pacer::Kind::Virtual);
    fuzz::ReaderRig rig;
    int replayed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(
             std::filesystem::path(VIDORA_SOURCE_DIR) / "tests/regressions")) {
        const std::string name = entry.path().filename().string();
        const test::Bytes input = test::readFileBytes(entry.path().string());
        SCOPED_TRACE(name);
        std::string findings;
        if (name.starts_with("reader-")) {
            findings = fuzz::runReaderCase(rig, file, input.data(), input.size());
        } else if (name.starts_with("pipeline-")) {
            findings =
                fuzz::runPipelineCase(engine, file, surface, second, input.data(), input.size());
        } else if (name.starts_with("rings-")) {
            findings = fuzz::runRingsCase(input.data(), input.size());
        } else {
            ADD_FAILURE() << "no harness takes " << name;
        }
        EXPECT_EQ(findings, "");
        ++replayed;
    }
    EXPECT_GE(replayed, 5);
}

}  // namespace
}  // namespace vidora
