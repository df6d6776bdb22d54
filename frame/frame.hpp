// Everything a module source needs from the frame.
#pragma once

#include "array.hpp"
#include "call.hpp"
#include "convert.hpp"
#include "function.hpp"
#include "gil.hpp"
#include "module.hpp"
#include "numpy.hpp"
#include "object.hpp"
#include "routine.hpp"
