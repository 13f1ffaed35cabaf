#include "evr/richdependency.h"

#include <cctype>
#include <string>

#include "log/logger.h"

namespace updater {
namespace {

// Real expressions nest a few levels; the limit keeps a hostile text from
// exhausting the stack of the recursive parse and evaluation.
constexpr unsigned MAX_DEPTH = 64;

struct Word {
    const char* text;
    RichOp op;
};

const Word operatorWords[] = {
    {"and", RichOp::and_}, {"or", RichOp::or_},     {"if", RichOp::if_},           {"unless", RichOp::unless},
    {"with", RichOp::with}, {"without", RichOp::without},
};

struct Comparison {
    const char* text;
    int32_t flags;
};

const Comparison comparisons[] = {
    {"<", LESS},    {"<=", LESS | EQUAL},    {"=<", LESS | EQUAL}, {"=", EQUAL},
    {"==", EQUAL},  {">", GREATER},          {">=", GREATER | EQUAL}, {"=>", GREATER | EQUAL},
};

bool chains(RichOp op)
{
    return op == RichOp::and_ || op == RichOp::or_ || op == RichOp::with;
}

// What one package can be asked to meet on its own: plain entries joined by
// or, with and without.
bool packageLevel(const RichExpression& expression)
{
    if (expression.op == RichOp::single)
        return true;
    if (expression.op != RichOp::or_ && expression.op != RichOp::with && expression.op != RichOp::without)
        return false;
    for (const RichExpression& operand : expression.operands) {
        if (!packageLevel(operand))
            return false;
    }
    return true;
}

class RichParser {
public:
    explicit RichParser(std::string_view text) : m_text(text) {}

    bool parse(RichExpression& expression)
    {
        if (!at('('))
            return fail("no opening parenthesis");
        if (!parseGroup(expression, 1))
            return false;
        skipBlanks();
        return m_pos == m_text.size() || fail("text after the closing parenthesis");
    }

private:
    bool at(char c) const { return m_pos < m_text.size() && m_text[m_pos] == c; }
    bool atEnd() const { return m_pos >= m_text.size(); }

    void skipBlanks()
    {
        while (!atEnd() && isspace(static_cast<unsigned char>(m_text[m_pos])))
            ++m_pos;
    }

    // Up to a blank or a parenthesis that closes more than the token opened,
    // so that "perl(Foo)" stays one name.
    std::string_view token()
    {
        size_t start = m_pos;
        int open = 0;
        while (!atEnd()) {
            char c = m_text[m_pos];
            if (isspace(static_cast<unsigned char>(c)) || c == ',' || (c == ')' && open == 0))
                break;
            open += c == '(' ? 1 : c == ')' ? -1 : 0;
            ++m_pos;
        }
        return m_text.substr(start, m_pos - start);
    }

    // An operator word, read up to a blank or a parenthesis.
    std::string_view word()
    {
        size_t start = m_pos;
        while (!atEnd() && !isspace(static_cast<unsigned char>(m_text[m_pos])) && !at('(') && !at(')'))
            ++m_pos;
        return m_text.substr(start, m_pos - start);
    }

    bool fail(const char* reason)
    {
        LOG(debug, "malformed rich dependency '%.*s': %s", static_cast<int>(m_text.size()), m_text.data(), reason);
        return false;
    }

    // "name", or "name op version".
    bool parseEntry(RichExpression& expression)
    {
        std::string_view name = token();
        if (name.empty())
            return fail("missing name");
        expression.term = Dependency(PooledString(name));
        skipBlanks();
        size_t afterName = m_pos;
        std::string_view op = token();
        for (const Comparison& comparison : comparisons) {
            if (op != comparison.text)
                continue;
            skipBlanks();
            std::string_view version = token();
            if (version.empty())
                return fail("missing version");
            expression.term.evr = Evr::parse(version);
            expression.term.flags = comparison.flags;
            return true;
        }
        m_pos = afterName; // not a comparison: the operator of the group
        return true;
    }

    bool parseOperand(RichExpression& operand, unsigned depth)
    {
        if (!at('('))
            return parseEntry(operand);
        if (depth == MAX_DEPTH)
            return fail("nested too deeply");
        return parseGroup(operand, depth + 1);
    }

    // "(" operand { operator operand } ")", the opening parenthesis next.
    bool parseGroup(RichExpression& expression, unsigned depth)
    {
        ++m_pos;
        RichExpression group;
        bool hasElse = false;
        for (;;) {
            skipBlanks();
            if (at(')'))
                return fail(group.operands.empty() ? "empty parentheses" : "missing operand");
            if (atEnd())
                return fail("unbalanced parentheses");
            group.operands.emplace_back();
            if (!parseOperand(group.operands.back(), depth))
                return false;
            skipBlanks();
            if (atEnd())
                return fail("unbalanced parentheses");
            if (at(')'))
                break;
            if (!nextOperator(group, hasElse))
                return false;
        }
        ++m_pos;
        return finishGroup(std::move(group), expression);
    }

    bool nextOperator(RichExpression& group, bool& hasElse)
    {
        std::string_view text = word();
        if (text == "else") {
            bool conditional = group.op == RichOp::if_ || group.op == RichOp::unless;
            if (!conditional || hasElse)
                return fail("'else' without a single 'if' or 'unless'");
            hasElse = true;
            return true;
        }
        const Word* found = nullptr;
        for (const Word& candidate : operatorWords) {
            if (text == candidate.text)
                found = &candidate;
        }
        if (!found)
            return fail("unknown operator");
        if (hasElse || (group.op != RichOp::single && group.op != found->op))
            return fail("different operators on one level");
        if (group.op != RichOp::single && !chains(found->op))
            return fail("only and, or and with can be chained");
        group.op = found->op;
        return true;
    }

    bool finishGroup(RichExpression&& group, RichExpression& expression)
    {
        if (group.op == RichOp::single) {
            expression = std::move(group.operands.front()); // "(a)" is a
            return true;
        }
        if (group.op == RichOp::with || group.op == RichOp::without) {
            for (const RichExpression& operand : group.operands) {
                if (!packageLevel(operand))
                    return fail("only or, with and without inside with and without");
            }
        }
        expression = std::move(group);
        return true;
    }

    std::string_view m_text;
    size_t m_pos = 0;
};

} // namespace

bool parseRichDependency(std::string_view text, RichExpression& expression)
{
    return RichParser(text).parse(expression);
}

} // namespace updater
