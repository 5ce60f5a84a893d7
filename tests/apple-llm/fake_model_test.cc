// The fake model keeps each session's own instructions and records every request.
#include "apple-llm/fake_model.h"

#include <gtest/gtest.h>

namespace tavrin::llm {
namespace {

TEST(FakeLanguageModel, SessionsKeepTheirInstructions) {
  FakeLanguageModel model;
  auto a = model.openSession("first");
  auto b = model.openSession("second");
  b->respond("p2", Overview::schema(), {0.3, 500});
  a->respond("p1", Extract::schema(), {0.1, 1200});
  ASSERT_EQ(model.requests().size(), 2u);
  EXPECT_EQ(model.requests()[0].instructions, "second");
  EXPECT_EQ(model.requests()[1].instructions, "first");
}

}  // namespace
}  // namespace tavrin::llm
