// The module frame: everything the modules do the same way.  Each module
// includes it once and so compiles its own copy, with its own state.
#pragma once

#include "args.hpp"
#include "classes.hpp"
#include "convert.hpp"
#include "function.hpp"
#include "module.hpp"
#include "state.hpp"
#include "override.hpp"
#include "ref.hpp"
