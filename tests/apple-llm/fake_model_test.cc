// The fake model behaves as the interface promises, so tests built on it
// mean something.
#include "apple-llm/fake_model.h"

#include <gtest/gtest.h>

namespace tavrin::llm {
namespace {

TEST(FakeLanguageModel, RecordsSessionsRequestsAndAnswers) {
  FakeLanguageModel model;
  EXPECT_TRUE(model.availability().available);
  model.setAvailability(ModelAvailability::unavailable(UnavailableReason::kModelNotReady));
  EXPECT_FALSE(model.availability().available);
  EXPECT_EQ(model.availability().reason, UnavailableReason::kModelNotReady);

  auto a = model.openSession("first");
  auto b = model.openSession("second");
  EXPECT_EQ(model.sessionsOpened(), 2);
  model.setResponse("{\"title\":\"t\"}");
  EXPECT_EQ(b->respond("p2", Overview::schema(), {0.3, 500}), "{\"title\":\"t\"}");
  model.setError("boom");
  EXPECT_THROW(a->respond("p1", Extract::schema(), {0.1, 1200}), ModelError);
  ASSERT_EQ(model.requests().size(), 2u);
  EXPECT_EQ(model.requests()[0].instructions, "second");
  EXPECT_EQ(model.requests()[0].prompt, "p2");
  EXPECT_EQ(model.requests()[1].instructions, "first");
  EXPECT_EQ(model.requests()[1].schema, &Extract::schema());
  EXPECT_EQ(model.requests()[1].options.maximumResponseTokens, 1200);
}

}  // namespace
}  // namespace tavrin::llm
