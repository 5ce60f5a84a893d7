#include "apple-speech/tavrin_apple_speech.h"

int main(int argc, char** argv) {
  return tavrin::apple_speech::TavrinAppleSpeech::main(argc, argv);
}
