#pragma once

// The boolean formulas of conditions: "|" (or), "&" (and, binding tighter), "!" (not, tightest),
// parentheses, the constants "1" and "0", and variable names of letters, digits, "_" and "-".
// Errors are raised as std::runtime_error.

#include <map>
#include <string>
#include <vector>

namespace zelko::plenar::config {

// The variables of one evaluation.
using Interpretation = std::map<std::string, bool>;

// Evaluates the formula after removing its white space.
bool EvaluateFormula(const std::string& formula, const Interpretation& interpretation);

// Evaluates an expression that holds no white space.
bool EvaluateSubexpression(const std::string& expression, const Interpretation& interpretation);

// The operands of the expression at its outermost level, split at op ('|' or '&').
std::vector<std::string> SplitTopLevel(const std::string& expression, char op);

}  // namespace zelko::plenar::config
