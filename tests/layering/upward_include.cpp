// Compiled under the ui library's rule, this must not build: launcher/ lies
// above ui/, so its headers are not there to be found.
#include "launcher/switches.h"
