// Rich (boolean) dependencies, as rpm writes them into the name of a require:
// "(libx >= 2 or liby)", "(libx if app else liby)", "(a with b)", nested at
// any depth. The require keeps its text as its name, for messages; the
// expression is parsed from it when it is evaluated.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "evr/dependency.h"

namespace updater {

enum class RichOp : uint8_t {
    single,  // a plain entry: `term`
    and_,    // every operand
    or_,     // at least one operand
    if_,     // operands: what is required, the condition, optionally the else part
    unless,  // likewise, with the condition inverted
    with,    // one and the same package meets every operand
    without, // one package meets the first operand and not the second
};

struct RichExpression {
    RichOp op = RichOp::single;
    Dependency term;
    std::vector<RichExpression> operands;
};

// True for the text of a rich dependency: plain names never start with "(".
inline bool isRichDependency(std::string_view name)
{
    return name.starts_with('(');
}

// Parses the whole text with rpm's rules: operators of one parenthesised
// level are all the same, only and, or and with chain, "else" follows a
// single "if" or "unless", and the operands of with and without are plain
// entries or or, with and without expressions. False, after a debug line
// naming the fault, when the text is malformed; `expression` is then
// unspecified.
[[nodiscard]] bool parseRichDependency(std::string_view text, RichExpression& expression);

} // namespace updater
