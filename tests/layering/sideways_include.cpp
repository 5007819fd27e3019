// Compiled under the maker library's rule, this must not build: update/
// lies beside maker/ on one floor, so its headers are not there to be found.
#include "update/game_launcher.h"
