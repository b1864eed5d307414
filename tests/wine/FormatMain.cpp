// Entry of the Windows format test program. The platform links every program
// with -municode, so the entry is wmain rather than gtest's own main.
#include <gtest/gtest.h>

int wmain(int argc, wchar_t** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
