// Exact written forms of the value kinds, and reading them back from documents.
#include "xmlrpc/xmlrpc_value.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>

#include "small_stack.h"

namespace voxtrel {
namespace {

std::string Written(const XmlRpcValue& value) {
    std::string out;
    EXPECT_TRUE(value.Write(out));
    return out;
}

// Reads one value from a document whose root is the "value" element itself.
std::unique_ptr<XmlRpcValue> ReadValue(const std::string& text) {
    XMLNavigator nav;
    CharBuffer document;
    document.Assign(text.c_str());
    nav.Open(document);
    std::unique_ptr<XmlRpcValue> value = OpenValue(nav);
    if (value && !value->Read(nav)) return nullptr;
    return value;
}

template <typename T>
T* As(const std::unique_ptr<XmlRpcValue>& value) {
    return dynamic_cast<T*>(value.get());
}

TEST(XmlRpcValueWrite, Scalars) {
    EXPECT_EQ(Written(XmlRpcValueInt(-17)), "<value><int>-17</int></value>\r\n");
    EXPECT_EQ(Written(XmlRpcValueInt(INT_MIN)), "<value><int>-2147483648</int></value>\r\n");
    EXPECT_EQ(Written(XmlRpcValueBool(true)), "<value><boolean>1</boolean></value>\r\n");
    EXPECT_EQ(Written(XmlRpcValueBool(false)), "<value><boolean>0</boolean></value>\r\n");
    EXPECT_EQ(Written(XmlRpcValueDouble(2.5)), "<value><double>2.500000</double></value>\r\n");
    EXPECT_EQ(Written(XmlRpcValueDouble(1e20)),
              "<value><double>100000000000000000000.000000</double></value>\r\n");
    EXPECT_EQ(Written(XmlRpcValueString("42")), "<value><string>42</string></value>\r\n");
    EXPECT_EQ(Written(XmlRpcValueString("a < b & \"c\"")),
              "<value><string>a < b & \"c\"</string></value>\r\n");
    EXPECT_EQ(Written(XmlRpcValueDateTime("2006-01-02 03:04:05")),
              "<value><dateTime.iso8601>2006-01-02 03:04:05</dateTime.iso8601></value>\r\n");
    EXPECT_EQ(Written(XmlRpcValueBase64("aGk=")), "<value><base64>aGk=</base64></value>\r\n");
}

TEST(XmlRpcValueWrite, DoublesMatchPrintfFixedNotation) {
    const double samples[] = {0.0,    -0.0,   1.0 / 3,  -0.0000005, 0.0000005, 123456.7890125,
                              1e-300, 4.5e15, -9.75e18, 2.5e-6,     0.1,       1e22};
    for (double d : samples) {
        char expected[400];
        std::snprintf(expected, sizeof expected, "<value><double>%f</double></value>\r\n", d);
        EXPECT_EQ(Written(XmlRpcValueDouble(d)), expected) << d;
    }
}

TEST(XmlRpcValueWrite, LargestDoubleFits) {
    std::string out = Written(XmlRpcValueDouble(-1.7976931348623157e308));
    EXPECT_EQ(out.size(), std::string("<value><double></double></value>\r\n").size() + 317);
    EXPECT_NE(out.find(".000000</double>"), std::string::npos);
}

TEST(XmlRpcValueWrite, StructAndArrayLayout) {
    XmlRpcValueStruct s;
    s.SetMember("From", std::make_unique<XmlRpcValueString>("pbx:100"));
    EXPECT_EQ(Written(s),
              "<value><struct>\r\n<member>\r\n<name>From</name>\r\n"
              "<value><string>pbx:100</string></value>\r\n</member>\r\n</struct></value>\r\n");
    EXPECT_EQ(Written(XmlRpcValueStruct()), "<value><struct>\r\n</struct></value>\r\n");

    XmlRpcValueArray a;
    a.Append(std::make_unique<XmlRpcValueString>("a"));
    a.Append(std::make_unique<XmlRpcValueString>("b"));
    EXPECT_EQ(Written(a),
              "<value><array><data>\r\n<value><string>a</string></value>\r\n"
              "<value><string>b</string></value>\r\n</data></array></value>\r\n");
    EXPECT_EQ(Written(XmlRpcValueArray()), "<value><array><data>\r\n</data></array></value>\r\n");
}

TEST(XmlRpcValueWrite, BadTypeCodeFailsAndKeepsWhatWasWritten) {
    XmlRpcValueInt bad(1);
    bad.valueType = 8;
    std::string out = "x";
    EXPECT_FALSE(bad.Write(out));
    EXPECT_EQ(out, "x");

    XmlRpcValueStruct s;
    s.SetMember("a", std::make_unique<XmlRpcValueInt>(1));
    auto broken = std::make_unique<XmlRpcValueString>("z");
    broken->valueType = -1;
    s.SetMember("b", std::move(broken));
    out.clear();
    EXPECT_FALSE(s.Write(out));
    EXPECT_EQ(out.rfind("<value><struct>", 0), 0u);
    EXPECT_NE(out.find("<int>1</int>"), std::string::npos);

    XmlRpcValueArray a;
    auto inner = std::make_unique<XmlRpcValueArray>();
    auto worse = std::make_unique<XmlRpcValueBool>();
    worse->valueType = 99;
    inner->Append(std::move(worse));
    a.Append(std::move(inner));
    out.clear();
    EXPECT_FALSE(a.Write(out));
}

TEST(XmlRpcValueRead, TypeNamesIgnoreLetterCaseAndI4IsInt) {
    auto v = ReadValue("<value><i4>7</i4></value>");
    ASSERT_TRUE(As<XmlRpcValueInt>(v));
    EXPECT_EQ(As<XmlRpcValueInt>(v)->value, 7);
    EXPECT_EQ(Written(*v), "<value><int>7</int></value>\r\n");

    v = ReadValue("<VALUE><STRING>x</STRING></VALUE>");
    ASSERT_TRUE(As<XmlRpcValueString>(v));
    EXPECT_EQ(As<XmlRpcValueString>(v)->value, "x");
    EXPECT_EQ(v->valueType, kXmlRpcString);

    v = ReadValue("<value><DATETIME.iso8601>2006-01-02 03:04:05</DATETIME.iso8601></value>");
    ASSERT_TRUE(As<XmlRpcValueDateTime>(v));
    EXPECT_EQ(As<XmlRpcValueDateTime>(v)->textRef, "2006-01-02 03:04:05");
    EXPECT_EQ(v->valueType, kXmlRpcDateTime);

    v = ReadValue("<value><base64>aGk=\n</base64></value>");
    ASSERT_TRUE(As<XmlRpcValueBase64>(v));
    EXPECT_EQ(As<XmlRpcValueBase64>(v)->textRef, "aGk=\n");
}

TEST(XmlRpcValueRead, NumbersReadAsTheCLibraryConvertsThem) {
    auto intOf = [](const char* doc) { return As<XmlRpcValueInt>(ReadValue(doc))->value; };
    EXPECT_EQ(intOf("<value><int> 12abc</int></value>"), 12);
    EXPECT_EQ(intOf("<value><int></int></value>"), 0);
    EXPECT_EQ(intOf("<value><int>abc</int></value>"), 0);
    EXPECT_EQ(intOf("<value><int>\n-2147483648</int></value>"), INT_MIN);
    EXPECT_EQ(intOf("<value><int>99999999999999999999</int></value>"), INT_MAX);
    EXPECT_EQ(intOf("<value><int>-99999999999999999999</int></value>"), INT_MIN);

    auto boolOf = [](const char* doc) { return As<XmlRpcValueBool>(ReadValue(doc))->value; };
    EXPECT_FALSE(boolOf("<value><boolean>true</boolean></value>"));
    EXPECT_TRUE(boolOf("<value><boolean>1</boolean></value>"));
    EXPECT_TRUE(boolOf("<value><boolean>2</boolean></value>"));
    EXPECT_FALSE(boolOf("<value><boolean/></value>"));

    auto doubleOf = [](const char* doc) { return As<XmlRpcValueDouble>(ReadValue(doc))->value; };
    EXPECT_DOUBLE_EQ(doubleOf("<value><double> -2.25e1x</double></value>"), -22.5);
    EXPECT_DOUBLE_EQ(doubleOf("<value><double>x</double></value>"), 0.0);
}

TEST(XmlRpcValueRead, StringTextIsKeptAsItStands) {
    auto v = ReadValue("<value><string>  x  </string></value>");
    EXPECT_EQ(As<XmlRpcValueString>(v)->value, "  x  ");
    v = ReadValue("<value><string>a &lt; b\r\nc</string></value>");
    EXPECT_EQ(As<XmlRpcValueString>(v)->value, "a &lt; b\r\nc");
    v = ReadValue("<value><string></string></value>");
    EXPECT_EQ(As<XmlRpcValueString>(v)->value, "");
}

TEST(XmlRpcValueRead, UntypedOrUnknownValuesAreNotRead) {
    EXPECT_EQ(ReadValue("<value>abc</value>"), nullptr);
    EXPECT_EQ(ReadValue("<value><nil/></value>"), nullptr);
    EXPECT_EQ(ReadValue("<value><integer>1</integer></value>"), nullptr);
    EXPECT_EQ(ReadValue("<val><int>1</int></val>"), nullptr);
    EXPECT_EQ(ReadValue(""), nullptr);
}

TEST(XmlRpcValueRead, StructMembersInOrderDuplicatesKept) {
    auto v = ReadValue(
        "<value><struct>\n<member><name>A</name><value><int>1</int></value></member>\n"
        "<member><name>a</name><value><string>two</string></value></member>\n"
        "<member><name></name><value><boolean>1</boolean></value></member>\n"
        "</struct></value>");
    auto* s = As<XmlRpcValueStruct>(v);
    ASSERT_TRUE(s);
    ASSERT_EQ(s->members.size(), 3u);
    EXPECT_EQ(s->members[0].first, "A");
    EXPECT_EQ(s->members[1].first, "a");
    EXPECT_EQ(s->members[2].first, "");
    EXPECT_EQ(s->GetMember("a"), s->members[0].second.get());
    EXPECT_EQ(s->GetMember("A"), s->members[0].second.get());
    EXPECT_EQ(s->GetMember("b"), nullptr);
}

TEST(XmlRpcValueRead, NestedStructsAndArrays) {
    auto v = ReadValue(
        "<value><array><data>"
        "<value><struct><member><name>k</name><value><array><data>"
        "<value><i4>5</i4></value></data></array></value></member></struct></value>"
        "<value><string>s</string></value>"
        "</data></array></value>");
    auto* a = As<XmlRpcValueArray>(v);
    ASSERT_TRUE(a);
    ASSERT_EQ(a->elements.size(), 2u);
    auto* s = dynamic_cast<XmlRpcValueStruct*>(a->elements[0].get());
    ASSERT_TRUE(s);
    auto* inner = dynamic_cast<XmlRpcValueArray*>(s->GetMember("K"));
    ASSERT_TRUE(inner);
    ASSERT_EQ(inner->elements.size(), 1u);
    EXPECT_EQ(dynamic_cast<XmlRpcValueInt*>(inner->elements[0].get())->value, 5);
    EXPECT_EQ(dynamic_cast<XmlRpcValueString*>(a->elements[1].get())->value, "s");
}

// Containers nested levels deep, the inner levels written with empty-element tags: they nest the
// reading without nesting elements, so the scanner's element bound does not stop them.
std::string NestedArrays(size_t levels) {
    std::string text = "<value><array><data>";
    for (size_t i = 1; i < levels; ++i)
        text += "<value/><array/><data/>";
    return text + "</data></array></value>";
}

std::string NestedStructs(size_t levels) {
    std::string text = "<value><struct>";
    for (size_t i = 1; i < levels; ++i)
        text += "<member/><name>m</name><value/><struct/>";
    return text + "</struct></value>";
}

TEST(XmlRpcValueRead, NestingBeyondTheBoundDoesNotRead) {
    struct Case {
        std::string (*make)(size_t);
        size_t levels;
        bool reads;
    } cases[] = {
        {NestedArrays, 2, true},
        {NestedArrays, kMaxValueDepth, true},
        {NestedArrays, kMaxValueDepth + 1, false},
        {NestedArrays, 10000, false},
        {NestedStructs, 2, true},
        {NestedStructs, kMaxValueDepth, true},
        {NestedStructs, kMaxValueDepth + 1, false},
        {NestedStructs, 10000, false},
    };
    for (const Case& c : cases) {
        std::string text = c.make(c.levels);
        bool read = false;
        // A worker's stack: the recursion per level must stop long before it runs out.
        std::string written;
        ASSERT_TRUE(test::RunOnSmallStack([&] {
            std::unique_ptr<XmlRpcValue> value = ReadValue(text);
            read = value != nullptr;
            if (value) value->Write(written);
        }));
        EXPECT_EQ(read, c.reads) << c.levels << (c.make == NestedArrays ? " arrays" : " structs");
        // Written out, the levels nest elements; the value must still read within their bound.
        if (read) {
            EXPECT_NE(ReadValue(written), nullptr) << c.levels;
        }
    }
    // Three elements a level, a scalar's two, and a message's methodCall, params and param.
    static_assert(3 * kMaxValueDepth + 2 + 3 <= XMLScanner::kMaxDepth);
}

TEST(XmlRpcValueRead, ArraysNeedData) {
    auto v = ReadValue("<value><array><data></data></array></value>");
    ASSERT_TRUE(As<XmlRpcValueArray>(v));
    EXPECT_TRUE(As<XmlRpcValueArray>(v)->elements.empty());
    EXPECT_EQ(ReadValue("<value><array><value><int>1</int></value></array></value>"), nullptr);
}

TEST(XmlRpcValueRead, FailedReadsDeleteWhatWasRead) {
    // Every member read before the bad one is released: the sanitizer run catches a leak.
    XMLNavigator nav;
    CharBuffer document;
    document.Assign(
        "<value><struct><member><name>a</name><value><string>x</string></value></member>"
        "<member><value><int>1</int></value></member></struct></value>");
    nav.Open(document);
    auto v = OpenValue(nav);
    ASSERT_TRUE(As<XmlRpcValueStruct>(v));
    EXPECT_FALSE(v->Read(nav));
    EXPECT_TRUE(As<XmlRpcValueStruct>(v)->members.empty());

    XMLNavigator nav2;
    document.Assign(
        "<value><array><data><value><int>1</int></value>"
        "<value><struct><member><name>n</name><value>bare</value></member></struct></value>"
        "</data></array></value>");
    nav2.Open(document);
    v = OpenValue(nav2);
    ASSERT_TRUE(As<XmlRpcValueArray>(v));
    EXPECT_FALSE(v->Read(nav2));
    EXPECT_TRUE(As<XmlRpcValueArray>(v)->elements.empty());
}

TEST(XmlRpcValueRead, WrittenStructReadsBack) {
    XmlRpcValueStruct s;
    s.SetMember("i", std::make_unique<XmlRpcValueInt>(-3));
    s.SetMember("b", std::make_unique<XmlRpcValueBool>(true));
    s.SetMember("d", std::make_unique<XmlRpcValueDouble>(0.125));
    s.SetMember("s", std::make_unique<XmlRpcValueString>(" t "));
    auto array = std::make_unique<XmlRpcValueArray>();
    array->Append(std::make_unique<XmlRpcValueDateTime>("2020-02-02 02:02:02"));
    s.SetMember("a", std::move(array));
    std::string text = Written(s);
    auto back = ReadValue(text);
    ASSERT_TRUE(back);
    EXPECT_EQ(Written(*back), text);
}

TEST(XmlRpcValueStruct, SetMemberReplacesUnderTheFirstSpelling) {
    XmlRpcValueStruct s;
    s.SetMember("From", std::make_unique<XmlRpcValueString>("old"));
    s.SetMember("To", std::make_unique<XmlRpcValueString>("t"));
    s.SetMember("from", std::make_unique<XmlRpcValueInt>(9));
    ASSERT_EQ(s.members.size(), 2u);
    EXPECT_EQ(s.members[0].first, "From");
    EXPECT_EQ(dynamic_cast<XmlRpcValueInt*>(s.GetMember("FROM"))->value, 9);
    s.ClearMembers();
    EXPECT_TRUE(s.members.empty());
}

TEST(CreateValue, NamesAndDefaults) {
    const struct {
        const char* name;
        int32_t type;
    } cases[] = {{"int", kXmlRpcInt},
                 {"I4", kXmlRpcInt},
                 {"boolean", kXmlRpcBool},
                 {"Double", kXmlRpcDouble},
                 {"string", kXmlRpcString},
                 {"base64", kXmlRpcBase64},
                 {"dateTime.iso8601", kXmlRpcDateTime},
                 {"ARRAY", kXmlRpcArray},
                 {"struct", kXmlRpcStruct}};
    for (const auto& c : cases) {
        auto v = CreateValue(c.name);
        ASSERT_TRUE(v) << c.name;
        EXPECT_EQ(v->valueType, c.type) << c.name;
    }
    EXPECT_EQ(CreateValue("i8"), nullptr);
    EXPECT_EQ(CreateValue("dateTime"), nullptr);
    EXPECT_EQ(CreateValue(""), nullptr);
    EXPECT_EQ(Written(*CreateValue("int")), "<value><int>0</int></value>\r\n");
    EXPECT_EQ(Written(*CreateValue("double")), "<value><double>0.000000</double></value>\r\n");
    EXPECT_EQ(Written(*CreateValue("boolean")), "<value><boolean>0</boolean></value>\r\n");
}

}  // namespace
}  // namespace voxtrel
