#include "system-audio/commands/tavrin_system_audio.h"

int main(int argc, char** argv) { return tavrin::system_audio::TavrinSystemAudio::main(argc, argv); }
