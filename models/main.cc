#include "models/tavrin_models.h"

int main(int argc, char** argv) {
  return tavrin::models::modelsMain(argc, argv);
}
