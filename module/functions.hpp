// The module's function objects: their method records and their creation at start-up.
#pragma once

#include "runtime.hpp"

namespace vorlaken {

// Creates the function object of one of the module's functions and binds it under its name.
// 0 on success, -1 with an exception set.
int bind_function(Site which);

}  // namespace vorlaken
