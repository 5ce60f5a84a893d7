#include "apple-speech/tavrin_apple_speech.h"
#include "common/output.h"

int main(int argc, char** argv) {
  tavrin::openClosedStandardDescriptors();
  return tavrin::apple_speech::TavrinAppleSpeech::main(argc, argv);
}
