#include "apple-speech/tavrin_apple_speech.h"
#include "common/output.h"

int main(int argc, char** argv) {
  tavrin::openClosedStandardDescriptors();
  if (tavrin::writeVersionIfAsked(argc, argv, "tavrin-apple-speech")) return 0;
  return tavrin::apple_speech::TavrinAppleSpeech::main(argc, argv);
}
