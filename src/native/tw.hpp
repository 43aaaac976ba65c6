// The shared layer of every extension module of the package: owning
// references and the error convention (ref.hpp), argument checks (args.hpp),
// class creation, module-global lookups and imports (classes.hpp), what the
// recorder may absorb of an exception (contain.hpp), and the version shims
// (compat.hpp).
#pragma once

#include "tw/compat.hpp"
#include "tw/ref.hpp"
#include "tw/args.hpp"
#include "tw/classes.hpp"
#include "tw/contain.hpp"
