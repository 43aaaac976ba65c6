// The shared layer of every extension module of the package: owning
// references and the error convention (ref.hpp), argument checks (args.hpp),
// class creation, module-global lookups and imports (classes.hpp), and the
// version shims (compat.hpp).
#pragma once

#include "tw/compat.hpp"
#include "tw/ref.hpp"
#include "tw/args.hpp"
#include "tw/classes.hpp"
