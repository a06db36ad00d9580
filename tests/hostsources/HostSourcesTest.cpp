// The host's sources against what the machine really has: NSS for groups
// and users, a spool folder watched through inotify, installer processes,
// and USB devices in a umockdev testbed. Every wait is bounded.
#include <gtest/gtest.h>
#include <systemd/sd-login.h>
#include <umockdev.h>
#include <unistd.h>
#include <utmpx.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "CallDurationSpool.h"
#include "IAgentUtils.h"
#include "ILogManager.h"
#include "DirectoryGroups.h"
#include "InstallerRunner.h"
#include "SessionUser.h"
#include "SourcesConfig.h"
#include "UsbDevices.h"
#include "UserReports.h"
#include "../support/ScratchFolder.h"

using namespace zelvan::fennic::agent;
using web::json::value;
namespace fs = std::filesystem;

namespace {

struct Sent {
  int code;
  value body;
};

// An event loop on a thread of its own that records what the sources send.
class Rig {
 public:
  Rig() : thread_([this] { loop.Run(); }) {}
  ~Rig() {
    OnLoop([this] { sources_.clear(); });
    loop.Stop();
    thread_.join();
  }
  void OnLoop(std::function<void()> step) {
    auto done = std::make_shared<std::promise<void>>();
    loop.Post([&step, done] {
      step();
      done->set_value();
    });
    ASSERT_EQ(done->get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
  }
  // A source built on the loop's thread with `args` and the recording sender;
  // it lives there until the rig ends.
  template <class Source, class... Args>
  Source& Make(Args... args) {
    std::shared_ptr<Source> source;
    OnLoop([&] { source = std::make_shared<Source>(loop, args..., Sender()); });
    sources_.push_back(source);
    return *source;
  }
  InstallerRunner::Send Sender() {
    return [this](int code, const std::string& body) {
      std::lock_guard<std::mutex> hold(lock_);
      sent_.push_back({code, value::parse(body)});
      changed_.notify_all();
    };
  }
  // What was sent, once there are `n` requests or `bound` has passed.
  std::vector<Sent> Wait(size_t n, std::chrono::milliseconds bound = std::chrono::seconds(5)) {
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait_for(hold, bound, [&] { return sent_.size() >= n; });
    return sent_;
  }
  // What was sent once there are `n` requests, after half a second more for any surplus.
  std::vector<Sent> Exactly(size_t n) {
    Wait(n);
    return Wait(n + 1, std::chrono::milliseconds(500));
  }
  std::string Path(const std::string& name) const { return folder_ / name; }
  static void Put(const std::string& file, const std::string& text) {
    fs::create_directories(fs::path(file).parent_path());
    std::ofstream(file + ".part") << text;
    fs::rename(file + ".part", file);
  }

  EventLoop loop;

 private:
  ScratchFolder folder_;
  std::thread thread_;
  std::vector<std::shared_ptr<void>> sources_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<Sent> sent_;
};

struct GroupCase {
  const char* name;
  const char* query;
  const char* user;
  const char* group;
  int verdict;
};

class DirectoryVerdicts : public ::testing::TestWithParam<GroupCase> {};

TEST_P(DirectoryVerdicts, NamedGroupAndNssVerdict) {
  EXPECT_EQ(GroupOfQuery(GetParam().query), GetParam().group);
  EXPECT_EQ(MembershipOf(GetParam().user, GroupOfQuery(GetParam().query)), GetParam().verdict);
}

INSTANTIATE_TEST_SUITE_P(
    Queries, DirectoryVerdicts,
    ::testing::Values(GroupCase{"FirstRdnMember", "CN=root,OU=Groups,DC=corp", "root", "root", kMember},
                      GroupCase{"LowerCaseRdnNotMember", "cn=nogroup,dc=corp", "root", "nogroup", kNotMember},
                      GroupCase{"PlainNamePrimaryGroup", "nogroup", "nobody", "nogroup", kMember},
                      GroupCase{"PaddedNameNotMember", "  root ", "nobody", "root", kNotMember},
                      GroupCase{"EscapedCommaUnknown", "CN=Smith\\, Jo,OU=People", "root", "Smith, Jo", kNoVerdict},
                      GroupCase{"UnknownUser", "root", "fennic-no-such-user", "root", kNoVerdict}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DirectoryAnswer, OneVerdictPerQueryInOrderAndNoneWithoutUser) {
  const std::string payload = R"({"Query":["CN=root,OU=Groups","fennic-no-such-group","nogroup",7]})";
  EXPECT_EQ(AnswerQueries(payload, "root"), R"({"Status":[1,-1,0,-1]})");
  EXPECT_EQ(AnswerQueries(payload, ""), R"({"Status":[-1,-1,-1,-1]})");
  EXPECT_EQ(AnswerQueries("not json", "root"), R"({"Status":[]})");
}

// One login record, written the way login programs write them.
void Record(const std::string& file, const char* user, const char* line, short type) {
  utmpx entry{};
  entry.ut_type = type;
  entry.ut_pid = ::getpid();
  std::strncpy(entry.ut_user, user, sizeof entry.ut_user);
  std::strncpy(entry.ut_line, line, sizeof entry.ut_line);
  std::strncpy(entry.ut_id, line, sizeof entry.ut_id);
  ::utmpxname(file.c_str());
  ::setutxent();
  ASSERT_NE(::pututxline(&entry), nullptr) << std::strerror(errno);
  ::endutxent();
}

TEST(SessionUser, DisplayLoginWinsAndALogoutIsReportedOnce) {
  if (::sd_get_sessions(nullptr) > 0) GTEST_SKIP() << "logind's sessions win over the records here";
  Rig rig;
  const std::string utmp = rig.Path("utmp");
  Rig::Put(utmp, "");
  std::vector<std::string> changes;
  std::unique_ptr<SessionUserWatch> watch;
  // The records are read and written on the loop's thread only: their
  // reader and writer share the C library's one cursor.
  rig.OnLoop([&] {
    Record(utmp, "carol", "tty2", USER_PROCESS);
    Record(utmp, "alice", ":0", USER_PROCESS);
    watch = std::make_unique<SessionUserWatch>(rig.loop, "", utmp, [&](const std::string& u) { changes.push_back(u); });
    EXPECT_EQ(watch->User(), "alice");
    EXPECT_EQ(FindSessionUser("root", utmp), "root") << "a configured user is taken as it is";
    Record(utmp, "alice", ":0", DEAD_PROCESS);
  });
  // Until the change shows, then a little longer for a surplus one.
  for (int i = 0, seen = 0; i < 50 && seen < 3; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    rig.OnLoop([&] { seen += !changes.empty(); });
  }
  rig.OnLoop([&] {
    EXPECT_EQ(changes, std::vector<std::string>{"carol"});
    watch.reset();
  });
}

TEST(CallDurationSpool, SendsJsonFilesAtStartAndWhenDroppedOnlyOnce) {
  Rig rig;
  const std::string spool = rig.Path("spool");
  Rig::Put(spool + "/early.json", R"({"Calls":[{"DurationSeconds":61}]})");
  Rig::Put(spool + "/broken.json", "{not json");
  Rig::Put(spool + "/.hidden.json", "{}");
  Rig::Put(spool + "/notes.txt", "{}");
  fs::create_symlink(spool + "/early.json", spool + "/link.json");
  Rig::Put(spool + "/bad\xFF.json", "{}");
  auto& source = rig.Make<CallDurationSpool>(spool);
  rig.OnLoop([&] { source.Start(); });
  EXPECT_TRUE(fs::exists(spool + "/bad\xFF.json.set-aside")) << "a name the library cannot delete is set aside";
  Rig::Put(spool + "/late.json", R"({"Calls":[]})");
  // Rewritten in place before the library deleted it: not sent twice.
  std::ofstream(spool + "/late.json") << R"({"Calls":[]})";
  auto sent = rig.Exactly(2);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].code, 14);
  EXPECT_EQ(sent[0].body.serialize(), R"({"CallData":{"Calls":[{"DurationSeconds":61}]},"FileInfo":")" + spool +
                                          R"(/early.json"})");
  EXPECT_EQ(sent[1].body.at("FileInfo").as_string(), spool + "/late.json");
  // Deleted (as the library does once accepted) and dropped again: new data.
  fs::remove(spool + "/late.json");
  Rig::Put(spool + "/late.json", R"({"Calls":[{"DurationSeconds":5}]})");
  sent = rig.Wait(3);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[2].body.at("CallData").serialize(), R"({"Calls":[{"DurationSeconds":5}]})");
  // Rewritten with new data while that send is under way: the new data goes too.
  std::ofstream(spool + "/late.json") << R"({"Calls":[{"DurationSeconds":9}]})";
  sent = rig.Wait(4);
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[3].body.at("CallData").serialize(), R"({"Calls":[{"DurationSeconds":9}]})");
}

TEST(UserReports, SoftphonesAtStartAndOnChangeUserDetailsFromPasswd) {
  Rig rig;
  const std::string file = rig.Path("conf/softphones.json");
  Rig::Put(file, R"({"Softphones":[{"Name":"Dialer","Version":"1.0"}]})");
  auto& reports = rig.Make<UserReports>(file, value::parse(R"({"Department":"Support","UserName":"not-taken"})"));
  rig.OnLoop([&] { reports.Start("root"); });
  rig.Wait(2);
  Rig::Put(file, R"({"Softphones":[{"Name":"Dialer","Version":"1.0"}]})");  // unchanged
  Rig::Put(file, R"({"Softphones":"wrong"})");
  Rig::Put(file, R"({"Softphones":[{"Name":"Dialer","Version":"2.0"}]})");
  rig.Wait(3);  // the file's change first, so the order below is fixed
  rig.OnLoop([&] { reports.UserChanged("nobody"); });
  const auto sent = rig.Exactly(4);
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0].code, 12);
  EXPECT_EQ(sent[1].code, 7);
  EXPECT_EQ(sent[1].body.serialize(),
            R"({"Department":"Support","FullName":"root","HomePhone":"","Office":"","UserName":"root","WorkPhone":""})");
  EXPECT_EQ(sent[2].code, 12);
  EXPECT_EQ(sent[2].body.at("Softphones").at(0).at("Version").as_string(), "2.0");
  EXPECT_EQ(sent[3].body.at("UserName").as_string(), "nobody");

  // No one signed in (a headless machine) is no warning; an unknown user is.
  struct Levels : zelvan::fennic::ILogManager {
    void Log(int level, const std::string&, const std::string& text) override { lines[text] = level; }
    std::map<std::string, int> lines;
  };
  auto levels = std::make_shared<Levels>();
  zelvan::fennic::IAgentUtils::setLogManager(levels);
  rig.OnLoop([&] { reports.UserChanged(""); reports.UserChanged("no-such-user-here"); });
  zelvan::fennic::IAgentUtils::setLogManager(nullptr);
  EXPECT_EQ(levels->lines["User details not sent: no session user found"], 2);
  EXPECT_EQ(levels->lines["User details not sent: no account found for session user no-such-user-here"], 3);
}

struct InstallCase {
  const char* name;
  std::vector<std::string> command;
  int timeoutSeconds;
  const char* status;
  const char* reason;
  const char* version = "2.1.0";  // the store's folder for the package
};

class Installers : public ::testing::TestWithParam<InstallCase> {};

TEST_P(Installers, ReportOutcomeWithStoredIdsAndEmptyTheStore) {
  Rig rig;
  const std::string store = rig.Path("store");
  const std::string package = store + "/P100/" + GetParam().version + "/fw.bin";
  Rig::Put(package, "firmware");
  Rig::Put(store + "/P900/1.0/other.bin", "no installer for this one");
  InstallerConfig installer{"P100", GetParam().command, GetParam().timeoutSeconds, "DEV-1"};
  for (auto& arg : installer.command)
    if (arg == "OUT") arg = rig.Path("flashed");
  const auto updates = [] {
    return value::parse(R"([{"IProduct":"P100","Version":"2.0.0","UploadID":4001,"UpdateSchedulerId":100},
      {"IProduct":"P100","Version":"2.1.0","UploadID":5001,"UpdateSchedulerId":101,"UpdatesURL":"http://h/p/fw.bin"}])");
  };
  auto& runner = rig.Make<InstallerRunner>(store, std::vector<InstallerConfig>{installer}, updates, nullptr);
  rig.OnLoop([&] {
    runner.Scan();
    runner.Scan();  // a second scan while it runs starts nothing more
  });
  const auto sent = rig.Exactly(1);
  rig.OnLoop([] {});  // the store is emptied on the loop once the report is out
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].code, 8);
  EXPECT_EQ(sent[0].body.serialize(), std::string(R"({"DeviceID":"DEV-1","Reason":")") + GetParam().reason +
                                          R"(","UpdateSchedularID":101,"Updatestatus":")" +
                                          GetParam().status + R"(","UploadID":5001})");
  EXPECT_FALSE(fs::exists(store + "/P100")) << "the store keeps what it no longer needs";
  EXPECT_FALSE(fs::exists(store + "/P900"));
  if (std::string(GetParam().status) == "Success") {
    std::ifstream flashed(rig.Path("flashed"));
    std::string line;
    std::getline(flashed, line);
    EXPECT_EQ(line, package + " DEV-1");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, Installers,
    ::testing::Values(
        InstallCase{"Succeeds", {"/bin/sh", "-c", "echo \"$1 $2\" > \"$0\"", "OUT"}, 10, "Success", ""},
        InstallCase{"UnversionedFoundByFileName", {"/bin/sh", "-c", "echo \"$1 $2\" > \"$0\"", "OUT"}, 10, "Success", "", "unversioned"},
        InstallCase{"TimesOut", {"/bin/sh", "-c", "sleep 30"}, 1, "Failed", "installer timed out after 1 s"},
        InstallCase{"MissingProgram", {"/nonexistent/installer"}, 10, "Failed",
                    "installer could not be started: No such file or directory"}),
    [](const auto& info) { return std::string(info.param.name); });

struct ConfigCase {
  const char* name;
  const char* document;
  const char* error;  // empty: accepted
};

class SourcesConfiguration : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(SourcesConfiguration, RefusedWithTheMemberNamed) {
  std::string error;
  SourcesConfig config;
  try {
    config = ReadSourcesConfig(value::parse(GetParam().document), "/var/lib/x");
  } catch (const std::runtime_error& e) {
    error = e.what();
  }
  EXPECT_EQ(error, GetParam().error);
  if (error.empty()) {
    EXPECT_EQ(config.packageStore, std::string(GetParam().name) == "Defaults" ? "/var/lib/x/packages" : "/srv/store");
    EXPECT_EQ(config.usbVendorIds, std::vector<std::string>{"046d"});
    EXPECT_EQ(config.installers.at(0).timeoutSeconds, 60);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Members, SourcesConfiguration,
    ::testing::Values(
        ConfigCase{"Defaults", R"({"usbVendorIds":["046D"],"installers":[{"command":["/bin/true"]}]})", ""},
        ConfigCase{"TransportStore",
                   R"({"usbVendorIds":["046d"],"installers":[{"command":["/bin/true"]}],"transport":{"packageStore":"/srv/store"}})",
                   ""},
        ConfigCase{"ShortVendorId", R"({"usbVendorIds":["46d"]})",
                   "member \"usbVendorIds\" must hold four-digit hexadecimal vendor ids"},
        ConfigCase{"RelativeInstaller", R"({"installers":[{"command":["flash.sh"]}]})",
                   "member \"installers\" needs a \"command\" whose first element is an absolute program path"},
        ConfigCase{"EndlessInstaller", R"({"installers":[{"command":["/bin/true"],"timeoutSeconds":0}]})",
                   "member \"installers\" \"timeoutSeconds\" must be an integer from 1 to 3600"},
        ConfigCase{"EmptySpool", R"({"callDurationSpool":""})", "member \"callDurationSpool\" must be a non-empty string"},
        ConfigCase{"DetailsNotObject", R"({"userDetails":[]})", "member \"userDetails\" must be an object"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UsbDevices, InventoryAndHotPlugOfConfiguredVendorsOnly) {
  UMockdevTestbed* bed = umockdev_testbed_new();
  ASSERT_TRUE(umockdev_in_mock_environment()) << "run under umockdev-wrapper";
  auto add = [&](const char* name, const char* vendor, const char* product, const char* serial) {
    const std::string productProperty = std::string(vendor).erase(0, vendor[0] == '0') + "/" + product + "/102";
    return umockdev_testbed_add_device(bed, "usb", name, nullptr, "idVendor", vendor, "idProduct", product,
                                       "bcdDevice", "0102", "serial", serial, "manufacturer", "Acme", "product",
                                       "Headset", nullptr, "DEVTYPE", "usb_device", "PRODUCT",
                                       productProperty.c_str(), nullptr);
  };
  g_autofree gchar* present = add("1-1", "046d", "0a44", "SER-1");
  Rig rig;
  std::unique_ptr<UsbDevices> devices;
  rig.OnLoop([&] {
    devices = std::make_unique<UsbDevices>(rig.loop, std::vector<std::string>{"046d"}, rig.Sender());
    devices->Start();
  });
  // Adding a device sends its "add" event; the same event again is no news,
  // nor is one read while the device goes (its attributes are gone first).
  g_autofree gchar* foreign = add("1-2", "1234", "5678", "SER-X");
  g_autofree gchar* plugged = add("1-3", "046d", "0b00", "SER-2");
  umockdev_testbed_uevent(bed, plugged, "add");
  rig.Wait(2);
  umockdev_testbed_set_attribute(bed, plugged, "serial", "");
  umockdev_testbed_uevent(bed, plugged, "add");
  umockdev_testbed_uevent(bed, foreign, "remove");
  umockdev_testbed_uevent(bed, plugged, "remove");
  umockdev_testbed_remove_device(bed, plugged);
  const auto sent = rig.Exactly(3);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].code, 4);
  EXPECT_EQ(sent[0].body.serialize(),
            R"({"Devices":[{"BusPath":"1-1","FirmwareVersion":"1.02","ProductID":"0a44","ProductName":"Headset",)"
            R"("SerialNumber":"SER-1","VendorID":"046d","VendorName":"Acme"}]})");
  EXPECT_EQ(sent[1].code, 2);
  EXPECT_EQ(sent[1].body.at("SerialNumber").as_string(), "SER-2");
  EXPECT_EQ(sent[2].code, 3);
  EXPECT_EQ(sent[2].body.serialize(), sent[1].body.serialize()) << "an unplug reports the device as it was";
  rig.OnLoop([&] { devices.reset(); });
  g_object_unref(bed);
}

}  // namespace

// The testbed works only under umockdev's preload library: run again under
// it (ahead of a sanitizer's runtime, which then must not insist on coming
// first).
int main(int argc, char** argv) {
  const char* preload = std::getenv("LD_PRELOAD");
  if (!preload || !std::strstr(preload, "libumockdev-preload")) {
    ::setenv("LD_PRELOAD", (std::string("libumockdev-preload.so.0:") + (preload ? preload : "")).c_str(), 1);
    const char* asan = std::getenv("ASAN_OPTIONS");
    ::setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":verify_asan_link_order=0").c_str(), 1);
    ::execv("/proc/self/exe", argv);
    return 127;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
