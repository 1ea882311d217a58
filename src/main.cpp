#include "ui/app.h"

int main(int argc, char** argv) {
  ostrevan::RunProgram(argc, argv);
}
