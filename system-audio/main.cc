#include "common/output.h"
#include "system-audio/commands/tavrin_system_audio.h"

int main(int argc, char** argv) {
  tavrin::openClosedStandardDescriptors();
  return tavrin::system_audio::TavrinSystemAudio::main(argc, argv);
}
