// Process entry of the relay.
#include "startup/untStartup.h"

int main(int argc, char** argv) { return TelvaneMain(argc, argv); }
