// The English language names the instructions' language clause carries (the
// texts themselves: tests/host_texts_test.cc).
#include "apple-llm/prompts.h"

#include <gtest/gtest.h>

namespace tavrin::llm {
namespace {

TEST(LanguageName, BaseLanguageInEnglishWithSplittingAndFallback) {
  struct Case {
    const char* code;
    const char* name;
  };
  for (const Case& c : {Case{"en", "English"}, Case{"ja", "Japanese"}, Case{"ja-JP", "Japanese"},
                        Case{"ja_JP", "Japanese"}, Case{"zh-Hans", "Chinese"}, Case{"zh_TW", "Chinese"},
                        Case{"pt_BR", "Portuguese"}, Case{"--ja", "Japanese"}, Case{"ja__JP-", "Japanese"},
                        // Unknown codes stand whole, subtags included.
                        Case{"qq-ZZ", "qq-ZZ"}, Case{"xyzzy_Foo", "xyzzy_Foo"}, Case{"-_-", "-_-"},
                        Case{"@x=y", "@x=y"}, Case{"日本語", "日本語"}, Case{"ü-DE", "ü-DE"}}) {
    EXPECT_EQ(languageName(c.code), c.name) << c.code;
  }
}

}  // namespace
}  // namespace tavrin::llm
