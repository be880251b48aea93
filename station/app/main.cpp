#include "station/app/StationProgram.h"

int main(int argc, char** argv) { return vorn::station::RunStation(argc, argv); }
