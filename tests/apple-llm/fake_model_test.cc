// The fake model keeps the interface's promises, so tests built on it mean
// something: sessions keep their instructions, every request is recorded.
#include "apple-llm/fake_model.h"

#include <gtest/gtest.h>

namespace tavrin::llm {
namespace {

TEST(FakeLanguageModel, RecordsSessionsRequestsAndAnswers) {
  FakeLanguageModel model;
  auto a = model.openSession("first");
  auto b = model.openSession("second");
  model.setResponse("{}");
  EXPECT_EQ(b->respond("p2", Overview::schema(), {0.3, 500}), "{}");
  model.setError("boom");
  EXPECT_THROW(a->respond("p1", Extract::schema(), {0.1, 1200}), ModelError);
  ASSERT_EQ(model.requests().size(), 2u);
  EXPECT_EQ(model.requests()[0].instructions, "second");
  EXPECT_EQ(model.requests()[1].instructions, "first");
  EXPECT_EQ(model.requests()[1].prompt, "p1");
}

}  // namespace
}  // namespace tavrin::llm
