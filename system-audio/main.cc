#include "common/output.h"
#include "system-audio/commands/tavrin_system_audio.h"

int main(int argc, char** argv) {
  tavrin::openClosedStandardDescriptors();
  if (tavrin::writeVersionIfAsked(argc, argv, "tavrin-system-audio")) return 0;
  return tavrin::system_audio::TavrinSystemAudio::main(argc, argv);
}
