// The telvgate program: see app/App.h for what it does at start-up and shutdown.
#include "app/App.h"

int main(int argc, char** argv) { return runTelvGate(argc, argv); }
