#include "tool/AssemblerDriver.h"

int main(int argc, char** argv) { return Assembler::RunDriver(argc, argv); }
