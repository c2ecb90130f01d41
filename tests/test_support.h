#pragma once
// Helpers shared by the tests: exact image comparison and scratch directories.

#include <gtest/gtest.h>

#include <stdlib.h>

#include <deque>
#include <filesystem>
#include <sstream>
#include <string>

#include <opencv2/core.hpp>

#include "frame_loop.h"

// Passes when both images have the same size and type and every element is equal.
inline ::testing::AssertionResult sameImage(const cv::Mat& actual, const cv::Mat& expected) {
    if (actual.size() != expected.size() || actual.type() != expected.type()) {
        return ::testing::AssertionFailure()
               << "size/type " << actual.size() << "/" << actual.type() << " vs " << expected.size()
               << "/" << expected.type();
    }
    if (actual.empty()) {
        return ::testing::AssertionSuccess();
    }
    cv::Mat difference;
    cv::absdiff(actual, expected, difference);
    const int differing = cv::countNonZero(difference.reshape(1));
    if (differing != 0) {
        return ::testing::AssertionFailure() << differing << " element(s) differ";
    }
    return ::testing::AssertionSuccess();
}

// A fresh directory under the system's temporary directory, removed with everything in it.
class ScratchDirectory {
public:
    ScratchDirectory() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tracker-test-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~ScratchDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Reads a whole file; empty when it cannot be read.
std::string readFile(const std::filesystem::path& path);

// Hands out prepared frames in order, copied in as a camera's read delivers them; an empty one,
// or the end of the list, reads as a failed read.
class ScriptedSource : public FrameSource {
public:
    explicit ScriptedSource(std::deque<cv::Mat> frames) : frames_(std::move(frames)) {}
    bool read(cv::Mat& frame) override {
        if (frames_.empty()) {
            frame.release();
            return false;
        }
        frames_.front().copyTo(frame);
        frames_.pop_front();
        return !frame.empty();
    }

private:
    std::deque<cv::Mat> frames_;
};

// The frame step without windows: lines and messages into strings, the command file into a
// scratch directory, the found flag and the table back at their start values around each test.
class FrameStepTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetProcessState();
        outputs.report = &report;
        outputs.messages = &messages;
        outputs.commandFile.path = (scratch.path() / "wheelchair_commands.txt").string();
        outputs.display = false;
    }
    void TearDown() override { resetProcessState(); }

    static void resetProcessState() {
        markerEverFound = 0;
        std::copy(std::begin(defaultThresholds), std::end(defaultThresholds), thresholdTable);
    }

    // Runs each frame through the step; returns how many were processed.
    int run(std::deque<cv::Mat> frames) {
        const size_t count = frames.size();
        context.source = std::make_unique<ScriptedSource>(std::move(frames));
        int processed = 0;
        for (size_t i = 0; i < count; ++i) {
            processed += runFrameStep(context, outputs) == StepResult::Processed ? 1 : 0;
        }
        return processed;
    }

    ScratchDirectory scratch;
    std::ostringstream report;
    std::ostringstream messages;
    FrameOutputs outputs;
    FrameContext context;
};
