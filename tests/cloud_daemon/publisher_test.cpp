// The cloud publisher with fakes and the simulated clock.
#include <gtest/gtest.h>

#include "cloud_daemon/domain/service/cloud_publisher.h"
#include "fakes.h"
#include "recording_logger.h"

using cloud_daemon::domain::entities::SysSetting;
using cloud_daemon::domain::service::CloudPublisher;
using orvane::platform::SimulatedClock;
using namespace std::chrono_literals;

namespace {

class PublisherTest : public testing::Test {
protected:
    PublisherTest() {
        settings_.dataTopic = "kelva/SN/livedata";
        settings_.alarmTopic = "kelva/SN/alarm";
        publisher_.reset(10, 60);
    }
    // One pass a second, as the worker thread runs them.
    void passes(int n) {
        for (int i = 0; i < n; ++i) {
            clock_.advance(1s);
            publisher_.run_once(1001, "SN");
        }
    }

    SimulatedClock clock_;
    SysSetting settings_;
    orvane::test::FakeCollector collector_;
    orvane::test::FakeSystemSender system_;
    orvane::test::FakeLink link_;
    orvane::test::RecordingLogger log_;
    CloudPublisher publisher_{settings_, collector_, system_, link_, log_, clock_};
};

TEST_F(PublisherTest, SixScansAndOneUploadAMinuteAndScanErrorsAreLogged) {
    passes(60);
    EXPECT_EQ(collector_.scans, 6);
    ASSERT_EQ(link_.sent.size(), 1u);
    EXPECT_EQ(link_.sent[0], (std::pair<std::string, std::string>{"kelva/SN/livedata", R"({"data":[1],"sn":"SN"})"}));
    EXPECT_EQ(log_.count(3, "livedata publish:{\"data\":[1]"), 1u);
    collector_.scanError = true;  // logged, and the next scan follows
    passes(20);
    EXPECT_EQ(collector_.scans, 8);
    EXPECT_EQ(log_.count(4, "Fail to scan devices. Error connecting to UNIX socket"), 2u);
}

TEST_F(PublisherTest, OutageOfTenMinutesIsCaughtUpInTenWindows) {
    passes(59);
    link_.up = false;
    collector_.lastTimestamp = static_cast<uint32_t>(clock_.wallSeconds()) - 5;  // the last reading received
    const uint32_t lastReading = collector_.lastTimestamp;
    passes(1);  // the upload fails: its document is held
    EXPECT_TRUE(publisher_.pending());
    EXPECT_EQ(publisher_.last_data_timestamp(), lastReading);
    const int scansBefore = collector_.scans;
    collector_.lastTimestamp = 0;  // the history answers carry no cells
    passes(600);
    EXPECT_EQ(collector_.scans, scansBefore);  // no scans during the backlog
    EXPECT_EQ(collector_.documents, 1);        // one document held, not one per upload
    link_.up = true;
    passes(12);
    ASSERT_EQ(collector_.history.size(), 10u);
    for (size_t i = 0; i < 10; ++i)
        EXPECT_EQ(collector_.history[i], std::make_tuple(lastReading + 60 * static_cast<uint32_t>(i), 60u, 10u));
    EXPECT_EQ(log_.count(3, "Back online kelva/SN/livedata"), 1u);
    EXPECT_FALSE(publisher_.pending());
    // The held document, then one per window.
    EXPECT_EQ(link_.sent.size(), 11u);
}

TEST_F(PublisherTest, CatchUpWithoutAKnownReadingTimeStartsAtTheFailedUpload) {
    link_.up = false;
    passes(60);
    const uint32_t failedAt = static_cast<uint32_t>(clock_.wallSeconds());
    EXPECT_EQ(publisher_.last_data_timestamp(), failedAt);
    passes(120);
    link_.up = true;
    collector_.historyError = true;  // the gateway program is gone as well
    passes(1);
    ASSERT_EQ(collector_.history.size(), 1u);
    EXPECT_EQ(std::get<0>(collector_.history[0]), failedAt);
    EXPECT_EQ(publisher_.last_data_timestamp(), failedAt + 60);  // the window advances anyway
    EXPECT_EQ(log_.count(4, "Fail to request the readings of the outage. "), 1u);
}

TEST_F(PublisherTest, CatchUpNeverAsksForTheSameWindowTwice) {
    link_.up = false;
    passes(60);
    const uint32_t failedAt = publisher_.last_data_timestamp();
    passes(300);
    link_.up = true;
    // Each history answer ends with a reading at the start of its window, or with one inside it.
    collector_.lastTimestamp = failedAt;
    passes(1);
    EXPECT_EQ(publisher_.last_data_timestamp(), failedAt + 60);
    collector_.lastTimestamp = failedAt + 100;
    passes(1);
    EXPECT_EQ(publisher_.last_data_timestamp(), failedAt + 101);
    collector_.lastTimestamp = 0;
    passes(10);
    EXPECT_EQ(log_.count(3, "Back online kelva/SN/livedata"), 1u);
    for (size_t i = 1; i < collector_.history.size(); ++i)
        EXPECT_GT(std::get<0>(collector_.history[i]), std::get<0>(collector_.history[i - 1]));
}

TEST_F(PublisherTest, WithoutUploadIntervalTheBacklogEndsOnceTheHeldDocumentIsTaken) {
    publisher_.reset(10, 0);  // an upload on every pass
    link_.up = false;
    passes(1);
    ASSERT_TRUE(publisher_.pending());
    passes(120);
    link_.up = true;
    passes(1);
    EXPECT_FALSE(publisher_.pending());
    EXPECT_TRUE(collector_.history.empty());  // no window of no length is walked
    EXPECT_EQ(log_.count(3, "Back online kelva/SN/livedata"), 1u);
    const size_t sent = link_.sent.size();
    passes(3);
    EXPECT_EQ(link_.sent.size(), sent + 3);  // normal uploads again
}

TEST_F(PublisherTest, AlarmAndCommandsWaitWhileTheLivedataOfItsPassIsHeld) {
    collector_.alarm = R"({"sn":"SN","id":7})";
    link_.up = false;
    passes(60);
    EXPECT_EQ(publisher_.pending_topic(), "kelva/SN/livedata");
    EXPECT_EQ(collector_.alarm, R"({"sn":"SN","id":7})");  // not taken
    link_.message = R"({"Upgrade":"tftp","a.tar.gz"})";
    passes(5);
    EXPECT_TRUE(system_.orders.empty());
    EXPECT_FALSE(link_.message.empty());
    link_.up = true;
    passes(3);
    EXPECT_EQ(log_.count(3, "Back online kelva/SN/livedata"), 1u);
    EXPECT_EQ(system_.orders.size(), 1u);
    passes(60);
    ASSERT_FALSE(link_.sent.empty());
    EXPECT_EQ(link_.sent.back(), (std::pair<std::string, std::string>{"kelva/SN/alarm", R"({"sn":"SN","id":7})"}));
}

TEST_F(PublisherTest, UpgradeCommands) {
    struct Case {
        const char* name;
        std::string message;
        std::vector<std::pair<int, std::string>> orders;
    };
    const Case cases[] = {
        {"tftp", R"({"Upgrade":"tftp","a.tar.gz"})", {{3, "a.tar.gz"}}},
        {"scp with blanks", R"({ "Upgrade" : "scp" , "fw_1.2+b-3.tgz" })", {{2, "fw_1.2+b-3.tgz"}}},
        {"ftp", R"({"Upgrade":"ftp","a.tar.gz"})", {}},
        {"lower case", R"({"upgrade":"tftp","a.tar.gz"})", {}},
        {"not the pattern", R"({"Upgrade":"tftp"})", {}},
        {"path in the name", R"({"Upgrade":"tftp","../etc/passwd"})", {}},
        {"option as name", R"({"Upgrade":"scp","-oProxyCommand=x"})", {}},
        {"name too long", R"({"Upgrade":"scp",")" + std::string(33, 'a') + R"("})", {}},
        {"over-long message", R"({"Upgrade":"tftp","a.tar.gz"})" + std::string(1100, ' '), {}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        system_.orders.clear();
        publisher_.handle_server_command(k.message);
        EXPECT_EQ(system_.orders, k.orders);
    }
    EXPECT_EQ(log_.count(4, "Refuse a command from server of 1129 bytes"), 1u);
    EXPECT_EQ(log_.count(4, "Refuse the upgrade file name: ../etc/passwd"), 1u);
    EXPECT_EQ(log_.count(3, "Get a data srv mqtt message: "), 8u);
}

}  // namespace
