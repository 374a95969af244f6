#include "expression/script_engine.h"

#include <fmt/format.h>

#include <cctype>
#include <climits>
#include <stdexcept>

std::map<std::string, double> variable_map;

std::mutex& variableMapMutex() {
    static std::mutex m;
    return m;
}

double VariableNode::evaluate() {
    std::lock_guard<std::mutex> lock(variableMapMutex());
    return variable_map[name_];
}

double AssignmentNode::evaluate() {
    double value = child_->evaluate();
    std::lock_guard<std::mutex> lock(variableMapMutex());
    variable_map[name_] = value;
    return value;
}

namespace {

// Recursive descent with backtracking: every rule restores the position when it fails. Nesting
// is bounded so that a hostile text cannot exhaust the stack (parsing or evaluating the tree).
constexpr int kMaxDepth = 2000;

class Parser {
public:
    explicit Parser(const std::string& text) : s_(text) {}

    std::unique_ptr<ASTNode> statement() {
        size_t start = pos_;
        std::string name;
        if (parseName(&name) && literal('=')) {
            if (auto sum = parseSum()) return std::make_unique<AssignmentNode>(name, std::move(sum));
        }
        pos_ = start;
        return parseSum();
    }

    bool atEnd() {
        skip();
        return pos_ == s_.size();
    }

private:
    void skip() {
        while (pos_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[pos_]))) ++pos_;
    }

    bool literal(char c) {
        size_t start = pos_;
        skip();
        if (pos_ < s_.size() && s_[pos_] == c) {
            ++pos_;
            return true;
        }
        pos_ = start;
        return false;
    }

    static bool isAsciiAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
    static bool isDigit(char c) { return c >= '0' && c <= '9'; }

    bool parseName(std::string* name) {
        size_t start = pos_;
        skip();
        if (pos_ >= s_.size() || !isAsciiAlpha(s_[pos_])) {
            pos_ = start;
            return false;
        }
        name->assign(1, s_[pos_++]);
        for (;;) {
            size_t before = pos_;
            skip();
            if (pos_ < s_.size() && (isAsciiAlpha(s_[pos_]) || isDigit(s_[pos_]))) {
                name->push_back(s_[pos_++]);
            } else {
                pos_ = before;
                return true;
            }
        }
    }

    bool parseInteger(int* value) {
        size_t start = pos_;
        skip();
        bool negative = false;
        if (pos_ < s_.size() && (s_[pos_] == '+' || s_[pos_] == '-')) negative = s_[pos_++] == '-';
        if (pos_ >= s_.size() || !isDigit(s_[pos_])) {
            pos_ = start;
            return false;
        }
        long long n = 0;
        while (pos_ < s_.size() && isDigit(s_[pos_])) {
            n = n * 10 + (s_[pos_++] - '0');
            if (n > static_cast<long long>(INT_MAX) + 1) {  // does not fit an int
                pos_ = start;
                return false;
            }
        }
        if (negative) n = -n;
        if (n > INT_MAX) {
            pos_ = start;
            return false;
        }
        *value = static_cast<int>(n);
        return true;
    }

    struct DepthGuard {
        explicit DepthGuard(int& d) : depth(d) { ++depth; }
        ~DepthGuard() { --depth; }
        int& depth;
    };

    std::unique_ptr<ASTNode> parseFactor() {
        size_t start = pos_;
        if (literal('(')) {
            DepthGuard guard(depth_);
            if (depth_ > kMaxDepth) {
                pos_ = start;
                return nullptr;
            }
            if (auto inner = parseSum()) {
                if (literal(')')) return inner;
            }
            pos_ = start;
            return nullptr;
        }
        std::string name;
        if (parseName(&name)) return std::make_unique<VariableNode>(name);
        int value = 0;
        if (parseInteger(&value)) return std::make_unique<ConstantNode>(value);
        return nullptr;
    }

    std::unique_ptr<ASTNode> parseProduct() {
        DepthGuard guard(depth_);
        if (depth_ > kMaxDepth) return nullptr;
        auto left = parseFactor();
        if (!left) return nullptr;
        size_t afterLeft = pos_;
        if (literal('*')) {
            if (auto right = parseProduct()) return std::make_unique<OperatorNode<'*'>>(std::move(left), std::move(right));
        }
        pos_ = afterLeft;
        return left;
    }

    std::unique_ptr<ASTNode> parseSum() {
        DepthGuard guard(depth_);
        if (depth_ > kMaxDepth) return nullptr;
        auto left = parseProduct();
        if (!left) return nullptr;
        size_t afterLeft = pos_;
        if (literal('+')) {
            if (auto right = parseSum()) return std::make_unique<OperatorNode<'+'>>(std::move(left), std::move(right));
        }
        pos_ = afterLeft;
        return left;
    }

    const std::string& s_;
    size_t pos_ = 0;
    int depth_ = 0;
};

}  // namespace

std::unique_ptr<ASTNode> ScriptEngine::parse(const std::string& script) {
    Parser parser(script);
    auto tree = parser.statement();
    if (!tree || !parser.atEnd()) throw std::runtime_error("Parse error");
    return tree;
}

double ScriptEngine::run(const std::string& script) { return parse(script)->evaluate(); }

bool ScriptEngine::evaluate(const std::string& script, std::string& result) {
    std::unique_ptr<ASTNode> tree;
    try {
        tree = parse(script);
    } catch (const std::runtime_error&) {
        return false;
    }
    result = fmt::format("{}", tree->evaluate());
    return true;
}
