// Which files an update removes, on plain data (built natively).
#include <gtest/gtest.h>

#include "ObsoleteFiles.h"

namespace {

PackageManifest::Manifest Shipping(std::vector<std::string> names)
{
    PackageManifest::Manifest manifest;
    for (std::string& name : names) {
        manifest.members.push_back({std::move(name), 1, {}});
    }
    return manifest;
}

}  // namespace

// Only what the installed version recorded and the new one no longer
// ships, then the folders the new version has no use for, deepest first;
// the product's own bookkeeping and a re-install remove nothing.
TEST(ObsoleteFiles, WhatTheRecordListsAndTheNewVersionNoLongerShips)
{
    const std::vector<PackageManifest::RecordedFile> installed = {
        {"Quillon.exe", 10},       {"docs/licence.txt", 5}, {"Logs/empty.log", 0},
        {"bin/old/plugin.dll", 7}, {"bin/core.dll", 3},     {"Quillon.journal", 1},
        {"DOCS/Readme.TXT", 2},    {"Quillon.exe", 10}};
    const PackageManifest::Manifest next = Shipping({"Quillon.exe", "bin/", "bin/core.dll", "Logs/", "docs/readme.txt"});
    const std::vector<std::string> own = {"Quillon.version", "Quillon.journal"};
    EXPECT_EQ((std::vector<std::string>{"docs/licence.txt", "Logs/empty.log", "bin/old/plugin.dll", "bin/old/"}),
              ObsoleteFiles::Find(installed, next, own));

    const PackageManifest::Manifest gone = Shipping({"Quillon.exe"});
    EXPECT_EQ((std::vector<std::string>{"docs/licence.txt", "Logs/empty.log", "bin/old/plugin.dll", "bin/core.dll",
                                        "DOCS/Readme.TXT", "bin/old/", "bin/", "docs/", "logs/"}),
              ObsoleteFiles::Find(installed, gone, own));

    EXPECT_TRUE(ObsoleteFiles::Find(installed, Shipping({"Quillon.exe", "docs/licence.txt", "Logs/empty.log",
                                                         "bin/old/plugin.dll", "bin/core.dll", "DOCS/Readme.TXT"}),
                                    own)
                    .empty());
}
