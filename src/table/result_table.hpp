// The pandas DataFrame that mfx returns.
#pragma once

#include "engine/inference.hpp"
#include "lib/pyref.hpp"

namespace tarvex {

// pandas.DataFrame(data={"dy/dx": [...], ..., "Significance": [...]},
//                  index=[names]) from plain lists of floats and strs.
PyRef build_result_table(const EffectRows& rows);

}  // namespace tarvex
