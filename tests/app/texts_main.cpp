#include <gtest/gtest.h>
#include "payload/window_api.h"

int wmain(int argc, wchar_t **argv)
{
    if (!LoadWindowApi())
        return 2;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
