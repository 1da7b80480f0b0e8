// The part of the shared layer nearly every module file uses: classes and
// their members, calls and argument checks, number texts, imports, tags and
// the module entry point. The narrower headers (fields, the instance-test
// memo, walks, sample checks, help texts, ...) are included where they are
// used.
#pragma once

#include "args.hpp"
#include "call.hpp"
#include "copy.hpp"
#include "dataclass_new.hpp"
#include "direct.hpp"
#include "enums.hpp"
#include "exact_arg.hpp"
#include "imports.hpp"
#include "keep.hpp"
#include "module.hpp"
#include "numfmt.hpp"
#include "pyclass.hpp"
#include "pynum.hpp"
#include "pyops.hpp"
#include "tag.hpp"
