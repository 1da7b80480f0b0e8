// Everything a tarvok extension module needs from the shared layer.
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
