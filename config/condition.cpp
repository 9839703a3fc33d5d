#include "config/condition.h"

#include <optional>
#include <stdexcept>

namespace zelko::plenar::config {

namespace {

bool IsNameCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

bool IsWhiteSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::vector<std::string> SplitTopLevel(const std::string& expression, char op) {
    const char other = op == '|' ? '&' : '|';
    std::vector<std::string> operands;
    int depth = 0;
    std::optional<size_t> start;
    for (size_t i = 0; i < expression.size(); ++i) {
        const char c = expression[i];
        if (c == ')') {
            --depth;
            continue;
        }
        if (c == '(') {
            ++depth;
            if (!start) start = i;
            continue;
        }
        if (depth != 0) continue;
        const bool continues_operand = IsNameCharacter(c) || c == '!';
        if (!start) {
            if (continues_operand) start = i;
            continue;
        }
        if (continues_operand || c == other) continue;
        if (c == op) {
            operands.push_back(expression.substr(*start, i - *start));
            start = i + 1;
            continue;
        }
        throw std::runtime_error("Unknown operator '" + std::string(1, c) + "' in the (sub)expression '" +
                                 expression + "'.");
    }
    if (start) operands.push_back(expression.substr(std::min(*start, expression.size())));
    if (depth != 0)
        throw std::runtime_error("Wrong parenthesis parity in the (sub)expression '" + expression + "'.");
    return operands;
}

bool EvaluateSubexpression(const std::string& expression, const Interpretation& interpretation) {
    // Formulas come from the cloud: a deep enough nesting would overflow the stack.
    constexpr int kMaxNesting = 256;
    thread_local int nesting = 0;
    struct Level {
        Level() {
            if (++nesting > kMaxNesting) {
                --nesting;
                throw std::runtime_error("The formula is nested too deeply.");
            }
        }
        ~Level() { --nesting; }
    } level;
    if (expression.empty()) throw std::runtime_error("An empty subexpression was encountered");
    bool is_or = true;
    std::vector<std::string> operands = SplitTopLevel(expression, '|');
    if (operands.size() == 1) {
        is_or = false;
        operands = SplitTopLevel(expression, '&');
    }
    if (operands.empty())
        throw std::runtime_error("The subexpression " + expression + " is not a valid formula.");
    if (operands.size() >= 2) {
        // Every operand is evaluated, so an error in any of them fails the whole formula.
        bool result = !is_or;
        for (const std::string& operand : operands) {
            bool value = EvaluateFormula(operand, interpretation);
            result = is_or ? (result || value) : (result && value);
        }
        return result;
    }
    if (expression.front() == '!') return !EvaluateFormula(expression.substr(1), interpretation);
    if (expression.front() == '(') {
        return EvaluateFormula(
            expression.size() >= 2 ? expression.substr(1, expression.size() - 2) : std::string(),
            interpretation);
    }
    if (expression == "1") return true;
    if (expression == "0") return false;
    auto variable = interpretation.find(expression);
    if (variable == interpretation.end()) {
        throw std::runtime_error("Variable '" + expression + "' not found in the interpretation.");
    }
    return variable->second;
}

bool EvaluateFormula(const std::string& formula, const Interpretation& interpretation) {
    std::string compact;
    compact.reserve(formula.size());
    for (char c : formula) {
        if (!IsWhiteSpace(c)) compact += c;
    }
    return EvaluateSubexpression(compact, interpretation);
}

}  // namespace zelko::plenar::config
