#pragma once
// Helpers shared by the tests: exact image comparison and scratch directories.

#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <string>

#include <opencv2/core.hpp>

// Passes when both images have the same size and type and every element is equal.
inline ::testing::AssertionResult sameImage(const cv::Mat& actual, const cv::Mat& expected) {
    if (actual.size() != expected.size() || actual.type() != expected.type()) {
        return ::testing::AssertionFailure()
               << "size/type " << actual.size() << "/" << actual.type() << " vs "
               << expected.size() << "/" << expected.type();
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
