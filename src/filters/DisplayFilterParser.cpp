// The grammar of the filter language, by recursive descent:
//   or   := and (("or" | "||") and)*
//   and  := not (("and" | "&&") not)*
//   not  := ("not" | "!") not | primary
//   primary := "(" or ")" | field [operator value | "in" "{" element* "}"]
// Each comparison compiles at once into a FilterCheck of the record's
// fields.

#include <algorithm>

#include "filters/DisplayFilterProgram.h"
#include "filters/DisplayFilterTokens.h"

namespace quillet {

using namespace filterlang;

namespace {

enum class Kind : std::uint8_t { Flag, Number, Address, Text, Bytes };

struct FieldInfo {
    const char* name;
    FilterField field;
    Kind kind;
    bool src = true;
    bool dest = true;
    std::uint32_t protocol = 0;  // Port: the protocol; Flag on Protocol: the number it asks for
    AddressFamily family = AddressFamily::Any;
    std::uint64_t max = 0;  // Number: the largest value
};

constexpr std::uint64_t kPortMax = 65535;
constexpr std::uint64_t kSizeMax = 0xFFFFFFFFu;

const FieldInfo kFields[] = {
    {"tcp", FilterField::Protocol, Kind::Flag, true, true, 6},
    {"udp", FilterField::Protocol, Kind::Flag, true, true, 17},
    {"icmp", FilterField::Protocol, Kind::Flag, true, true, 1},
    {"icmpv6", FilterField::Protocol, Kind::Flag, true, true, 58},
    {"ip", FilterField::Family4, Kind::Flag},
    {"ipv6", FilterField::Family6, Kind::Flag},
    {"ip.addr", FilterField::Addr4, Kind::Address, true, true, 0, AddressFamily::V4},
    {"ip.src", FilterField::Addr4, Kind::Address, true, false, 0, AddressFamily::V4},
    {"ip.dst", FilterField::Addr4, Kind::Address, false, true, 0, AddressFamily::V4},
    {"ipv6.addr", FilterField::Addr6, Kind::Address, true, true, 0, AddressFamily::V6},
    {"ipv6.src", FilterField::Addr6, Kind::Address, true, false, 0, AddressFamily::V6},
    {"ipv6.dst", FilterField::Addr6, Kind::Address, false, true, 0, AddressFamily::V6},
    {"addr", FilterField::Addr, Kind::Address, true, true},
    {"src", FilterField::Addr, Kind::Address, true, false},
    {"dst", FilterField::Addr, Kind::Address, false, true},
    {"tcp.port", FilterField::Port, Kind::Number, true, true, 6, AddressFamily::Any, kPortMax},
    {"tcp.srcport", FilterField::Port, Kind::Number, true, false, 6, AddressFamily::Any, kPortMax},
    {"tcp.dstport", FilterField::Port, Kind::Number, false, true, 6, AddressFamily::Any, kPortMax},
    {"udp.port", FilterField::Port, Kind::Number, true, true, 17, AddressFamily::Any, kPortMax},
    {"udp.srcport", FilterField::Port, Kind::Number, true, false, 17, AddressFamily::Any, kPortMax},
    {"udp.dstport", FilterField::Port, Kind::Number, false, true, 17, AddressFamily::Any, kPortMax},
    {"port", FilterField::Port, Kind::Number, true, true, 0, AddressFamily::Any, kPortMax},
    {"srcport", FilterField::Port, Kind::Number, true, false, 0, AddressFamily::Any, kPortMax},
    {"dstport", FilterField::Port, Kind::Number, false, true, 0, AddressFamily::Any, kPortMax},
    {"tcp.stream", FilterField::Stream, Kind::Number, true, true, 6, AddressFamily::Any, kSizeMax},
    {"udp.stream", FilterField::Stream, Kind::Number, true, true, 17, AddressFamily::Any, kSizeMax},
    {"ip.proto", FilterField::Protocol, Kind::Number, true, true, 0, AddressFamily::Any, 255},
    {"len", FilterField::Len, Kind::Number, true, true, 0, AddressFamily::Any, kSizeMax},
    {"data.len", FilterField::Len, Kind::Number, true, true, 0, AddressFamily::Any, kSizeMax},
    {"payload", FilterField::Payload, Kind::Bytes},
    {"data", FilterField::Payload, Kind::Bytes},
    {"frame", FilterField::Payload, Kind::Bytes},
    {"host", FilterField::Host, Kind::Text},
    {"program", FilterField::Program, Kind::Text},
    {"sent", FilterField::Sent, Kind::Flag},
    {"received", FilterField::Received, Kind::Flag},
};

bool Is(const Token& t, const char* word)
{
    return t.kind == Token::Word && t.text.compare(QLatin1String(word), Qt::CaseInsensitive) == 0;
}

bool IsSymbol(const Token& t, const char* symbol)
{
    return t.kind == Token::Symbol && t.text == QLatin1String(symbol);
}

const FieldInfo* FieldOf(const Token& t)
{
    for (const FieldInfo& f : kFields)
        if (Is(t, f.name))
            return &f;
    return nullptr;
}

enum class Operator : std::uint8_t { None, Eq, Ne, Lt, Le, Gt, Ge, Contains, Matches, In };

Operator OperatorOf(const Token& t)
{
    static const struct {
        const char* word;
        const char* symbol;
        Operator op;
    } kOperators[] = {
        {"eq", "==", Operator::Eq},  {"ne", "!=", Operator::Ne},           {"lt", "<", Operator::Lt},
        {"le", "<=", Operator::Le},  {"gt", ">", Operator::Gt},            {"ge", ">=", Operator::Ge},
        {"contains", nullptr, Operator::Contains}, {"matches", "~", Operator::Matches}, {"in", nullptr, Operator::In},
    };
    for (const auto& o : kOperators)
        if (Is(t, o.word) || (o.symbol != nullptr && IsSymbol(t, o.symbol)))
            return o.op;
    return Operator::None;
}

bool IsKeyword(const Token& t)
{
    return Is(t, "and") || Is(t, "or") || Is(t, "not") || OperatorOf(t) != Operator::None;
}

// How much a check costs beyond the record: and and or ask the cheap first.
int CostOf(FilterField field)
{
    // The direction reads the record and the machine's few addresses only:
    // as cheap as a field of the record.
    switch (field) {
    case FilterField::Stream:
    case FilterField::Program: return 2;
    case FilterField::Host: return 3;
    case FilterField::Payload: return 4;
    default: return 0;
    }
}

using Program = DisplayFilter::Program;

class Parser {
public:
    Parser(std::vector<Token> tokens, Program& program) : tokens_(std::move(tokens)), program_(program) {}

    void Run()
    {
        program_.root = ParseOr();
        const Token& t = Peek();
        if (t.kind == Token::Close)
            throw Fault{t.at, translate("DisplayFilter", "“)”没有对应的“(”")};
        if (t.kind != Token::End)
            throw Fault{t.at, translate("DisplayFilter", "多余的“%1”：缺少“and”或“or”").arg(t.text)};
    }

private:
    const Token& Peek() const { return tokens_[next_]; }
    const Token& Take() { return tokens_[next_ < tokens_.size() - 1 ? next_++ : next_]; }

    std::uint32_t Node(Program::Op op, const std::vector<std::uint32_t>& kids)
    {
        std::vector<std::uint32_t> ordered = kids;
        std::stable_sort(ordered.begin(), ordered.end(),
                         [&](std::uint32_t a, std::uint32_t b) { return cost_[a] < cost_[b]; });
        int cost = 0;
        for (const std::uint32_t k : ordered)
            cost = std::max(cost, cost_[k]);
        Program::Node n{op, static_cast<std::uint32_t>(program_.kids.size()), static_cast<std::uint32_t>(kids.size()),
                        cost == 0};
        program_.kids.insert(program_.kids.end(), ordered.begin(), ordered.end());
        program_.nodes.push_back(n);
        cost_.push_back(cost);
        return static_cast<std::uint32_t>(program_.nodes.size() - 1);
    }

    std::uint32_t Check(FilterCheck&& check)
    {
        const int cost = CostOf(check.field);
        program_.checks.push_back(std::move(check));
        program_.nodes.push_back({Program::Op::Check, static_cast<std::uint32_t>(program_.checks.size() - 1), 0});
        cost_.push_back(cost);
        return static_cast<std::uint32_t>(program_.nodes.size() - 1);
    }

    std::uint32_t ParseOr()
    {
        std::vector<std::uint32_t> kids{ParseAnd()};
        while (Is(Peek(), "or") || IsSymbol(Peek(), "||")) {
            Take();
            kids.push_back(ParseAnd());
        }
        return kids.size() == 1 ? kids[0] : Node(Program::Op::Or, kids);
    }

    std::uint32_t ParseAnd()
    {
        std::vector<std::uint32_t> kids{ParseNot()};
        while (Is(Peek(), "and") || IsSymbol(Peek(), "&&")) {
            Take();
            kids.push_back(ParseNot());
        }
        return kids.size() == 1 ? kids[0] : Node(Program::Op::And, kids);
    }

    std::uint32_t ParseNot()
    {
        if (Is(Peek(), "not") || IsSymbol(Peek(), "!")) {
            Take();
            const std::uint32_t kid = ParseNot();
            Program::Node& n = program_.nodes[kid];
            if (n.op == Program::Op::Check) {  // a check of its own: turned over in place
                FilterCheck& c = program_.checks[n.first];
                c.negate = !c.negate;
                return kid;
            }
            return Node(Program::Op::Not, {kid});
        }
        return ParsePrimary();
    }

    std::uint32_t ParsePrimary()
    {
        const Token& t = Take();
        if (t.kind == Token::Open) {
            const std::uint32_t inner = ParseOr();
            if (Peek().kind != Token::Close)
                throw Fault{t.at, translate("DisplayFilter", "“(”没有对应的“)”")};
            Take();
            return inner;
        }
        if (t.kind == Token::Close)
            throw Fault{t.at, translate("DisplayFilter", "“)”没有对应的“(”")};
        if (t.kind == Token::End)
            throw Fault{t.at, translate("DisplayFilter", "缺少字段或“(”")};
        if (t.kind != Token::Word || IsKeyword(t))
            throw Fault{t.at, translate("DisplayFilter", "此处应为字段，而不是“%1”").arg(t.text)};
        const FieldInfo* field = FieldOf(t);
        if (field == nullptr)
            throw Fault{t.at, translate("DisplayFilter", "未知的字段“%1”").arg(t.text)};
        return Check(Comparison(t, *field));
    }

    FilterCheck Comparison(const Token& name, const FieldInfo& f);
    void Value(const Token& t, const FieldInfo& f, Operator op, FilterCheck& check);
    void Set(const FieldInfo& f, FilterCheck& check);
    void Regex(const Token& t, FilterCheck& check);

    std::vector<Token> tokens_;
    std::size_t next_ = 0;
    Program& program_;
    std::vector<int> cost_;  // per node
};

FilterCheck Parser::Comparison(const Token& name, const FieldInfo& f)
{
    FilterCheck check;
    check.field = f.field;
    check.src = f.src;
    check.dest = f.dest;
    check.protocol = f.field == FilterField::Port || f.field == FilterField::Stream ? f.protocol : 0;
    const Token& opToken = Peek();
    const Operator op = OperatorOf(opToken);
    if (op == Operator::None) {
        if (f.field == FilterField::Protocol && f.kind == Kind::Flag) {
            check.test = FilterCheck::Test::Any;
            check.numbers.add(f.protocol, f.protocol);
        }
        return check;
    }
    if (f.kind == Kind::Flag)
        throw Fault{opToken.at, translate("DisplayFilter", "“%1”不能与值比较").arg(name.text)};
    const bool ordering = op == Operator::Lt || op == Operator::Le || op == Operator::Gt || op == Operator::Ge;
    const bool textual = op == Operator::Contains || op == Operator::Matches;
    const bool ofText = f.kind == Kind::Text || f.kind == Kind::Bytes;
    if ((ofText && ordering) || (!ofText && textual))
        throw Fault{opToken.at,
                    translate("DisplayFilter", "运算符“%1”不适用于“%2”").arg(opToken.text, name.text.toLower())};
    Take();
    check.test = op == Operator::Ne         ? FilterCheck::Test::None
                 : op == Operator::Contains ? FilterCheck::Test::Contains
                 : op == Operator::Matches  ? FilterCheck::Test::Matches
                                            : FilterCheck::Test::Any;
    if (op == Operator::In)
        Set(f, check);
    else
        Value(Take(), f, op, check);
    check.numbers.seal();
    check.v6.seal();
    // An equality of one family on a field of either: rows of the other
    // family never hold it.
    if (check.field == FilterField::Addr && check.test == FilterCheck::Test::Any) {
        if (check.v6.empty())
            check.field = FilterField::Addr4;
        else if (check.numbers.empty())
            check.field = FilterField::Addr6;
    }
    return check;
}

// The ranges an operator leaves of [lo, hi] within [0, max].
template <class T>
void AddOrdered(RangeSet<T>& set, Operator op, T lo, T hi, T max)
{
    switch (op) {
    case Operator::Lt:
        if (lo > 0)
            set.add(0, lo - 1);
        break;
    case Operator::Le: set.add(0, hi); break;
    case Operator::Gt:
        if (hi < max)
            set.add(hi + 1, max);
        break;
    case Operator::Ge: set.add(lo, max); break;
    default: set.add(lo, hi); break;
    }
}

void AddAddress(FilterCheck& check, Operator op, const AddressValue& a)
{
    if (a.v6)
        AddOrdered<U128>(check.v6, op, a.lo, a.hi, ~U128{0});
    else
        AddOrdered<std::uint64_t>(check.numbers, op, static_cast<std::uint64_t>(a.lo),
                                  static_cast<std::uint64_t>(a.hi), 0xFFFFFFFFu);
}

void Parser::Value(const Token& t, const FieldInfo& f, Operator op, FilterCheck& check)
{
    if (t.kind == Token::End)
        throw Fault{t.at, translate("DisplayFilter", "缺少值")};
    if (t.kind != Token::Word && t.kind != Token::String)
        throw Fault{t.at, translate("DisplayFilter", "此处应为值，而不是“%1”").arg(t.text)};
    switch (f.kind) {
    case Kind::Number: {
        const std::uint64_t v = NumberValue(t, f.max);
        AddOrdered<std::uint64_t>(check.numbers, op, v, v, UINT64_MAX);
        break;
    }
    case Kind::Address: AddAddress(check, op, Address(t, f.family)); break;
    case Kind::Text:
        if (op == Operator::Matches)
            Regex(t, check);
        else if (op == Operator::Contains)
            check.textNeedle = t.text;
        else
            check.texts.push_back(t.text);
        break;
    case Kind::Bytes: {
        if (op == Operator::Matches) {
            Regex(t, check);
            break;
        }
        std::string bytes = t.kind == Token::String ? t.bytes : Bytes(t);
        if (op == Operator::Contains)
            check.byteNeedle = std::move(bytes);
        else
            check.blobs.push_back(std::move(bytes));
        break;
    }
    case Kind::Flag: break;
    }
}

void Parser::Set(const FieldInfo& f, FilterCheck& check)
{
    const Token& open = Take();
    if (open.kind != Token::OpenSet)
        throw Fault{open.at, translate("DisplayFilter", "“in”之后应为“{”")};
    bool any = false;
    for (;;) {
        const Token& t = Take();
        if (t.kind == Token::CloseSet)
            break;
        if (t.kind == Token::End)
            throw Fault{open.at, translate("DisplayFilter", "“{”没有对应的“}”")};
        if (t.kind == Token::Comma)
            continue;
        if (t.kind == Token::Range)
            throw Fault{t.at, translate("DisplayFilter", "缺少值")};
        any = true;
        if (Peek().kind != Token::Range) {
            Value(t, f, Operator::Eq, check);
            continue;
        }
        const Token& range = Take();
        if (f.kind != Kind::Number && f.kind != Kind::Address)
            throw Fault{range.at, translate("DisplayFilter", "范围只适用于数字和地址")};
        const Token& end = Take();
        if (end.kind == Token::End || end.kind == Token::CloseSet || end.kind == Token::Comma)
            throw Fault{end.at, translate("DisplayFilter", "缺少值")};
        if (f.kind == Kind::Number) {
            const std::uint64_t lo = NumberValue(t, f.max);
            const std::uint64_t hi = NumberValue(end, f.max);
            if (lo > hi)
                throw Fault{t.at, translate("DisplayFilter", "范围的起点大于终点")};
            check.numbers.add(lo, hi);
            continue;
        }
        const AddressValue lo = Address(t, f.family);
        const AddressValue hi = Address(end, f.family);
        if (lo.block || hi.block || lo.v6 != hi.v6)
            throw Fault{t.at, translate("DisplayFilter", "范围的两端应为同一族的单个地址")};
        if (lo.lo > hi.lo)
            throw Fault{t.at, translate("DisplayFilter", "范围的起点大于终点")};
        AddressValue both = lo;
        both.hi = hi.lo;
        AddAddress(check, Operator::Eq, both);
    }
    if (!any)
        throw Fault{open.at, translate("DisplayFilter", "空的集合")};
}

void Parser::Regex(const Token& t, FilterCheck& check)
{
    check.regex = QRegularExpression(t.text, QRegularExpression::CaseInsensitiveOption);
    if (!check.regex.isValid()) {
        const int offset = static_cast<int>(check.regex.patternErrorOffset());
        int at = t.at + offset;
        if (t.kind == Token::String)
            at = offset >= 0 && offset < static_cast<int>(t.source.size()) ? t.source[offset]
                                                                           : t.at + 1 + static_cast<int>(t.text.size());
        throw Fault{at, translate("DisplayFilter", "正则表达式无效：%1").arg(check.regex.errorString())};
    }
    check.regex.optimize();
}

}  // namespace

bool CompileDisplayFilter(const QString& text, DisplayFilter::Program& program, DisplayFilterError& error)
{
    try {
        Parser(Tokenize(text), program).Run();
        return true;
    } catch (const Fault& fault) {
        // The place in characters, a character outside the BMP counting one.
        int position = 1;
        for (int i = 0; i < fault.at && i < text.size(); ++i)
            if (!text[i].isLowSurrogate() || i == 0 || !text[i - 1].isHighSurrogate())
                ++position;
        error.position = position;
        error.message = translate("DisplayFilter", "第 %1 个字符：%2").arg(position).arg(fault.detail);
        return false;
    }
}

const QStringList& DisplayFilter::FieldNames()
{
    static const QStringList names = [] {
        QStringList list;
        for (const FieldInfo& f : kFields)
            list << QString::fromLatin1(f.name);
        return list;
    }();
    return names;
}

}  // namespace quillet
