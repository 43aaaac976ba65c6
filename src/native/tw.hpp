// The shared layer of every extension module of the package: the version
// shims (compat.hpp), owning references, interned names and the error
// convention (ref.hpp), the saved pending exception (error.hpp), attribute
// lookups and truth tests (attr.hpp), frame and code access (frame.hpp),
// argument checks (args.hpp), class creation, module-global lookups and
// imports (classes.hpp), and what the recorder may absorb of an exception
// (contain.hpp).
#pragma once

#include "tw/compat.hpp"
#include "tw/ref.hpp"
#include "tw/error.hpp"
#include "tw/attr.hpp"
#include "tw/frame.hpp"
#include "tw/args.hpp"
#include "tw/classes.hpp"
#include "tw/contain.hpp"
