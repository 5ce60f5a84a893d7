// PocketSphinx decoders made and freed at once, as by two live channels.
#include <gtest/gtest.h>

#include <barrier>
#include <thread>

#include "speech-service/pocketsphinx/pocketsphinx_service.h"

namespace tavrin::speech {
namespace {

TEST(PocketSphinxConcurrentTest, TwoRecognizersAreMadeAndFreedAtOnce) {
  const ModelFiles model = ModelCatalog(ModelSearchPaths::fromProcess()).installedModel("en_US").value();
  std::barrier together(2);
  auto channel = [&] {
    together.arrive_and_wait();
    auto recognizer =
        makePocketSphinxRecognizer(model, ReportingMode::kLive, PocketSphinxService::settingsFromProcess());
    together.arrive_and_wait();
  };
  std::jthread other(channel);
  channel();
}

}  // namespace
}  // namespace tavrin::speech
