#include "frontend.h"

int main(int argc, char **argv) { return zpm_main(argc, argv); }
