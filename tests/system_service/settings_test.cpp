// orvane-system's settings from the shared parameter file.
#include <gtest/gtest.h>

#include <filesystem>

#include "cloud_daemon/recording_logger.h"
#include "support/scoped_roots.h"
#include "support/temp_dir.h"
#include "system_service/setting/settings.h"

using orvane::test::readFile;
using orvane::test::writeFile;

namespace {

TEST(SystemSettings, ReadsUrlAndVersion) {
    const struct {
        const char *json, *url, *version, *error;  // json nullptr: no file; error nullptr: none logged
    } cases[] = {
        {R"({"system": {"swVer": "1.2.2922"}, "upgrade": {"url": "http://u/v4/", "localPath": "/x/"}})", "http://u/v4/", "1.2.2922", nullptr},
        {R"({"upgrade": {"url": "http://u/"}})", "http://u/", "", "exception id: 403"},
        {R"({"upgrade": {"url": 5}, "system": {"swVer": "1"}})", setting::kDefaultUpgradeUrl, "", "type must be string, but is number; exception id: 302"},
        {R"({"upgrade": )", setting::kDefaultUpgradeUrl, "", "exception id: 101"},
        {nullptr, setting::kDefaultUpgradeUrl, "", "exception id: 101"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json ? c.json : "no file");
        orvane::test::TempDir dir{"orvane-sysset"};
        orvane::test::ScopedRoots roots(dir.path());
        if (c.json) writeFile(dir.file("parameter.json"), c.json);
        orvane::test::RecordingLogger log;
        setting::Settings s(dir.file("parameter.json"), log);
        EXPECT_EQ(s.url_path(), c.url);
        EXPECT_EQ(s.software_revision(), c.version);
        EXPECT_EQ(s.local_folder(), dir.path() + "/run/orvane_update/");
        EXPECT_EQ(log.count(5, "message: "), c.error ? 1u : 0u);
        EXPECT_EQ(log.count(5, c.error ? c.error : "message: "), c.error ? 1u : 0u);
        EXPECT_EQ(log.count(3, std::string("_url_path: ") + c.url + "; _local_folder: " + s.local_folder()), 1u);
    }
}

// The setter rewrites the version only, with no temporary left; a file that does not parse stays as it is.
TEST(SystemSettings, SetterRewritesTheVersionOnly) {
    orvane::test::TempDir dir{"orvane-sysset"};
    const std::string path = dir.file("parameter.json");
    writeFile(path, R"({"upgrade":{"url":"http://u/"},"system":{"sn":"GW1","swVer":"1.0"},"cellular":[1,2]})");
    orvane::test::RecordingLogger log;
    setting::Settings s(path, log);
    s.software_revision("2.0");
    EXPECT_EQ(s.software_revision(), "2.0");
    EXPECT_EQ(readFile(path), "{\n    \"upgrade\": {\n        \"url\": \"http://u/\"\n    },\n    \"system\": {\n"
                              "        \"sn\": \"GW1\",\n        \"swVer\": \"2.0\"\n    },\n    \"cellular\": [\n        1,\n        2\n    ]\n}");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
    writeFile(path, "{broken");
    s.software_revision("3.0");
    EXPECT_EQ(readFile(path), "{broken");
    EXPECT_EQ(s.software_revision(), "2.0");
    EXPECT_EQ(log.count(5, "exception id: 101"), 1u);
}

}  // namespace
