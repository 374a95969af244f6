#pragma once
// A small evaluator of assignments, sums and products over double values, beside the expression
// driver:
//   statement := name "=" sum | sum
//   sum       := product "+" sum | product
//   product   := factor "*" product | factor
//   factor    := "(" sum ")" | name | optionally signed decimal integer
//   name      := ASCII letter, then ASCII letters or digits
// White space is skipped before every element (also between the letters of a name: "a b" is
// the name ab). Variables live in one process-wide map.
#include <map>
#include <memory>
#include <mutex>
#include <string>

class ASTNode {
public:
    virtual double evaluate() = 0;
    virtual ~ASTNode() = default;
};

class ConstantNode : public ASTNode {
public:
    explicit ConstantNode(int value) : value_(value) {}
    double evaluate() override { return static_cast<double>(value_); }

private:
    int value_;
};

// Reads the variable, creating it with 0 when absent.
class VariableNode : public ASTNode {
public:
    explicit VariableNode(std::string name) : name_(std::move(name)) {}
    double evaluate() override;

private:
    std::string name_;
};

// Evaluates the child, stores the value under the name and yields it.
class AssignmentNode : public ASTNode {
public:
    AssignmentNode(std::string name, std::unique_ptr<ASTNode> child) : name_(std::move(name)), child_(std::move(child)) {}
    double evaluate() override;

private:
    std::string name_;
    std::unique_ptr<ASTNode> child_;
};

// '+' or '*' of two owned children, left evaluated first.
template <char Op>
class OperatorNode : public ASTNode {
    static_assert(Op == '+' || Op == '*');

public:
    OperatorNode(std::unique_ptr<ASTNode> left, std::unique_ptr<ASTNode> right)
        : left_(std::move(left)), right_(std::move(right)) {}
    double evaluate() override {
        double l = left_->evaluate();
        double r = right_->evaluate();
        if constexpr (Op == '+') return l + r;
        else return l * r;
    }

private:
    std::unique_ptr<ASTNode> left_;
    std::unique_ptr<ASTNode> right_;
};

// The process-wide variables of the evaluator. Hold variableMapMutex() while touching the map.
extern std::map<std::string, double> variable_map;
std::mutex& variableMapMutex();

class ScriptEngine {
public:
    ScriptEngine() = default;

    // The tree of a statement that consumes the whole text (trailing white space allowed).
    // Throws std::runtime_error("Parse error") otherwise, an empty text included, and for texts
    // nested deeper than about a thousand levels.
    static std::unique_ptr<ASTNode> parse(const std::string& script);
    // parse, then evaluate.
    static double run(const std::string& script);

    // Evaluates the script and writes its value as text into result ("7", "2.5"). Returns false
    // and leaves result unchanged when the script does not parse.
    bool evaluate(const std::string& script, std::string& result);
};
