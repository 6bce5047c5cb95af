#include <gtest/gtest.h>
#include <stdlib.h>

#include "common/DecimalSeparator.hpp"

using namespace serwer;

TEST(DecimalSeparator, CLocaleGivesAFullStop) {
    const char* old = getenv("LC_ALL");
    const std::string saved = old ? old : "";
    setenv("LC_ALL", "C", 1);
    EXPECT_EQ(ReadDecimalSeparatorFromEnvironment(), '.');
    setenv("LC_ALL", "no_such_locale", 1);  // unknown locale: the C locale's separator
    EXPECT_EQ(ReadDecimalSeparatorFromEnvironment(), '.');
    if (old)
        setenv("LC_ALL", saved.c_str(), 1);
    else
        unsetenv("LC_ALL");
}
