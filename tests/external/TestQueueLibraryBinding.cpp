#include "external/QueueLibraryBinding.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using external::QueueLibraryBinding;

TEST(QueueLibraryBinding, CallsThroughToALoadedLibrary) {
    QueueLibraryBinding lib(TEST_KV_FULL);
    ASSERT_TRUE(lib.IsBound());
    EXPECT_EQ(lib.IsKorvaneRunning(), 1);
    EXPECT_EQ(lib.GetNumberOfQueueItems(), 3);
    EXPECT_EQ(lib.QueueControl(1), 1);
    EXPECT_EQ(lib.QueueSampleBatch("/q/B.olb", 0, 1, 0, 44), 44);
}

TEST(QueueLibraryBinding, MissingLibraryOrFunctionMeansNotRunning) {
    for (const char* path : {"/nonexistent/libKV_VB32.so", TEST_KV_PARTIAL}) {
        QueueLibraryBinding lib(path);
        EXPECT_FALSE(lib.IsBound()) << path;
        EXPECT_EQ(lib.IsKorvaneRunning(), 0);
        EXPECT_EQ(lib.GetNumberOfQueueItems(), 0);
        EXPECT_EQ(lib.QueueControl(1), 0);
        EXPECT_EQ(lib.QueueSampleBatch("/q/B.olb", 0, 1, 0, 12), 0);
    }
}

TEST(QueueLibraryBinding, DefaultPlacesInOrder) {
    const std::string name = QueueLibraryBinding::kLibraryName;
    const std::string admin = QueueLibraryBinding::kAdministratorPlace;
    struct Case {
        const char* executableDir;
        std::vector<std::string> places;
    };
    const Case cases[] = {
        {"/usr/lib/tesmaro/",
         {admin, "/usr/lib/tesmaro/" + name, "/usr/lib/korvane-sim/" + name, name}},
        {"/w/build/bin/", {admin, "/w/build/bin/" + name, name}},
        // Installed under /usr/local, beside the executable is the administrator's place.
        {"/usr/local/lib/tesmaro/", {admin, "/usr/local/lib/korvane-sim/" + name, name}},
        {"", {admin, name}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(external::DefaultLibraryPlaces(c.executableDir), c.places) << c.executableDir;
}

TEST(QueueLibraryBinding, FirstPlaceWithAFileDecides) {
    using State = external::LibraryStatus::State;
    const std::string dir = ::testing::TempDir();
    const std::string text = dir + "/kv-not-a-library.so";
    std::ofstream(text) << "not a library\n";
    const std::string missing = dir + "/kv-nowhere/libKV_VB32.so";
    struct Case {
        std::vector<std::string> places;
        State state;
        std::string path;
        std::string reason; // a part of it
    };
    const Case cases[] = {
        {{missing, TEST_KV_FULL, TEST_KV_PARTIAL}, State::Loaded, TEST_KV_FULL, ""},
        {{missing, TEST_KV_PARTIAL, TEST_KV_FULL},
         State::Incomplete,
         TEST_KV_PARTIAL,
         "no function QueueControl"},
        {{text, TEST_KV_FULL}, State::NotALibrary, text, text},
        {{dir, TEST_KV_FULL}, State::NotALibrary, dir, dir},
        {{missing}, State::Missing, missing, "No such file"},
        {{missing, "libKV_VB32-nowhere.so"},
         State::Missing,
         "libKV_VB32-nowhere.so",
         "libKV_VB32-nowhere.so:"},
    };
    for (const Case& c : cases) {
        QueueLibraryBinding lib(c.places, [] { return std::chrono::steady_clock::time_point{}; });
        EXPECT_EQ(lib.Status().state, c.state) << c.path;
        EXPECT_EQ(lib.Status().path, c.path);
        EXPECT_NE(lib.Status().reason.find(c.reason), std::string::npos) << lib.Status().reason;
        EXPECT_EQ(lib.IsBound(), c.state == State::Loaded);
        EXPECT_EQ(lib.IsKorvaneRunning(), c.state == State::Loaded ? 1 : 0);
    }
}

TEST(QueueLibraryBinding, AnUnboundLibraryIsLookedForAgainOnceAMinute) {
    const std::string dir = ::testing::TempDir() + "/kv-retry";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const std::string place = dir + "/libKV_VB32.so";
    std::chrono::steady_clock::time_point now{};
    QueueLibraryBinding lib({place}, [&now] { return now; });
    std::vector<std::string> told;
    lib.SetObserver([&told](const external::LibraryStatus& status) {
        told.push_back(std::string(external::LibraryStateName(status.state)) + " " + status.path);
    });
    ASSERT_EQ(lib.Status().state, external::LibraryStatus::State::Missing);

    std::filesystem::copy_file(TEST_KV_PARTIAL, place);
    now += std::chrono::seconds(59);
    EXPECT_EQ(lib.IsKorvaneRunning(), 0);
    EXPECT_TRUE(told.empty());
    now += std::chrono::seconds(1);
    EXPECT_EQ(lib.IsKorvaneRunning(), 0);
    EXPECT_EQ(told, std::vector<std::string>{"incomplete " + place});
    // The same trouble again is not told again.
    now += std::chrono::seconds(60);
    EXPECT_EQ(lib.GetNumberOfQueueItems(), 0);
    EXPECT_EQ(told.size(), 1U);

    std::filesystem::remove(place);
    std::filesystem::copy_file(TEST_KV_FULL, place);
    now += std::chrono::seconds(60);
    EXPECT_EQ(lib.GetNumberOfQueueItems(), 3);
    EXPECT_EQ(told.back(), "loaded " + place);
    EXPECT_EQ(lib.Status().reason, "");
}

TEST(QueueLibraryBinding, ExecutableDirectoryEndsInSlash) {
    const std::string dir = external::ExecutableDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), '/');
}
