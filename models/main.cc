#include "common/output.h"
#include "models/tavrin_models.h"

int main(int argc, char** argv) {
  tavrin::openClosedStandardDescriptors();
  if (tavrin::writeVersionIfAsked(argc, argv, "tavrin-models")) return 0;
  return tavrin::models::modelsMain(argc, argv);
}
