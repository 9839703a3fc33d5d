#include "config/condition.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace zelko::plenar::config {
namespace {

struct FormulaCase {
    const char* formula;
    bool a, b, c;
    bool expected;
};

TEST(FormulaTest, PrecedenceParenthesesNegationAndConstants) {
    const FormulaCase cases[] = {
        {"a | b & c", true, false, false, true},  // a | (b & c)
        {"a | b & c", false, true, false, false}, {"(a|b)&c", true, false, false, false},
        {"(a|b)&c", false, true, true, true},     {"!a&b", false, true, false, true},  // (!a) & b
        {"!a&b", true, true, false, false},       {"!(a|b)", false, false, false, true},
        {"!(a|b)", false, true, false, false},    {"!!a", true, false, false, true},
        {"((a))", true, false, false, true},      {"1&0", false, false, false, false},
        {"1|0", false, false, false, true},       {" a\t&\n( b |\r c ) ", true, false, true, true},
    };
    for (const auto& c : cases) {
        Interpretation variables{{"a", c.a}, {"b", c.b}, {"c", c.c}};
        EXPECT_EQ(EvaluateFormula(c.formula, variables), c.expected) << c.formula;
    }
    EXPECT_TRUE(EvaluateFormula("x-1_y & !na!me", {{"x-1_y", true}, {"na!me", false}}));
}

TEST(FormulaTest, MalformedFormulasRaiseTheirMessages) {
    const std::pair<const char*, const char*> cases[] = {
        {"a||b", "An empty subexpression was encountered"},
        {"a&&b", "An empty subexpression was encountered"},
        {"a|", "An empty subexpression was encountered"},
        {"()", "An empty subexpression was encountered"},
        {"", "An empty subexpression was encountered"},
        {"a+b", "Unknown operator '+' in the (sub)expression 'a+b'."},
        {"(a", "Wrong parenthesis parity in the (sub)expression '(a'."},
        {"&", "The subexpression & is not a valid formula."},
        {"+a", "Variable '+a' not found in the interpretation."},
        {"a|missing", "Variable 'missing' not found in the interpretation."},
        // No short-circuit: the failing operand is evaluated even when the first decides.
        {"1|missing", "Variable 'missing' not found in the interpretation."},
    };
    Interpretation variables{{"a", true}, {"b", false}};
    for (const auto& [formula, message] : cases) {
        try {
            EvaluateFormula(formula, variables);
            ADD_FAILURE() << formula << " did not raise";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), message) << formula;
        }
    }
}

TEST(FormulaTest, DeepNestingIsRefusedInsteadOfOverflowingTheStack) {
    Interpretation variables{{"a", true}};
    const std::string nested = std::string(100, '(') + "a" + std::string(100, ')');
    EXPECT_TRUE(EvaluateFormula(nested, variables));
    for (const std::string& formula :
         {std::string(5000, '(') + "a" + std::string(5000, ')'), std::string(5000, '!') + "a"}) {
        try {
            EvaluateFormula(formula, variables);
            ADD_FAILURE() << "a formula nested " << formula.size() / 2 << " deep did not raise";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "The formula is nested too deeply.");
        }
    }
    EXPECT_TRUE(EvaluateFormula("!!a", variables));  // the depth is counted per evaluation
}

TEST(FormulaTest, SplitTopLevelKeepsNestedOperators) {
    EXPECT_EQ(SplitTopLevel("a|(b|c)|!d", '|'), (std::vector<std::string>{"a", "(b|c)", "!d"}));
    EXPECT_EQ(SplitTopLevel("a&b|c", '&'), (std::vector<std::string>{"a", "b|c"}));
    EXPECT_EQ(SplitTopLevel("a||b", '|'), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_TRUE(SplitTopLevel("", '|').empty());
}

}  // namespace
}  // namespace zelko::plenar::config
