#include "external/QueueLibraryBinding.h"

#include <gtest/gtest.h>

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

TEST(QueueLibraryBinding, ExecutableDirectoryEndsInSlash) {
    const std::string dir = external::ExecutableDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), '/');
}
