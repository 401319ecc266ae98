// Reading values from documents, their exact written forms and the bounds of the reading.
#include "xmlrpc/xmlrpc_value.h"

#include <gtest/gtest.h>

#include <cfloat>
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

// The written form of a scalar of type with content text.
std::string Scalar(const std::string& type, const std::string& text) {
    return "<value><" + type + ">" + text + "</" + type + "></value>\r\n";
}

// Reads one value from a document whose root is the "value" element; limit tells whether the
// navigator saw a bound exceeded.
std::unique_ptr<XmlRpcValue> ReadValue(const std::string& text, bool* limit = nullptr) {
    XMLNavigator nav;
    CharBuffer document;
    document.Assign(text.c_str());
    nav.Open(document);
    std::unique_ptr<XmlRpcValue> value = OpenValue(nav);
    if (value && !value->Read(nav)) value.reset();
    if (limit) *limit = nav.LimitExceeded();
    return value;
}

TEST(XmlRpcValue, ReadsAndWritesBack) {
    const std::string member = "<member><name>n</name><value><int>1</int></value></member>";
    const struct {
        std::string text;
        std::string written;  // empty: the value does not read
    } cases[] = {
        // Type names ignore letter case; i4 is int.
        {"<value><i4>7</i4></value>", Scalar("int", "7")},
        {"<VALUE><STRING>x</STRING></VALUE>", Scalar("string", "x")},
        {"<value><DATETIME.iso8601>2006-01-02 03:04:05</DATETIME.iso8601></value>",
         Scalar("dateTime.iso8601", "2006-01-02 03:04:05")},
        {"<value><base64>aGk=\n</base64></value>", Scalar("base64", "aGk=\n")},
        // Numbers convert as the C library's atoi and atof, ints held at the nearest bound.
        {"<value><int> 12abc</int></value>", Scalar("int", "12")},
        {"<value><int>\v+5</int></value>", Scalar("int", "5")},
        {"<value><int>abc</int></value>", Scalar("int", "0")},
        {"<value><int>2147483647</int></value>", Scalar("int", "2147483647")},
        {"<value><int>2147483648</int></value>", Scalar("int", "2147483647")},
        {"<value><int>18446744073709551617</int></value>", Scalar("int", "2147483647")},
        {"<value><int>\n-2147483647</int></value>", Scalar("int", "-2147483647")},
        {"<value><int>-2147483649</int></value>", Scalar("int", "-2147483648")},
        {"<value><boolean>true</boolean></value>", Scalar("boolean", "0")},
        {"<value><boolean>2</boolean></value>", Scalar("boolean", "1")},
        {"<value><boolean> -1</boolean></value>", Scalar("boolean", "1")},
        {"<value><boolean/></value>", Scalar("boolean", "0")},
        {"<value><double> -2.25e1x</double></value>", Scalar("double", "-22.500000")},
        {"<value><double>x</double></value>", Scalar("double", "0.000000")},
        {"<value><double>1e20</double></value>", Scalar("double", "100000000000000000000.000000")},
        // Text is kept as it stands.
        {"<value><string>  a &lt; b\r\n\"c\" </string></value>",
         Scalar("string", "  a &lt; b\r\n\"c\" ")},
        // Members in order, duplicate names kept, an empty text not the name before; nesting.
        {"<value><struct>\n<member><name>A</name><value><int>1</int></value></member>\n"
         "<member><name>a</name><value><string></string></value></member></struct></value>",
         "<value><struct>\r\n<member>\r\n<name>A</name>\r\n" + Scalar("int", "1") +
             "</member>\r\n<member>\r\n<name>a</name>\r\n" + Scalar("string", "") +
             "</member>\r\n</struct></value>\r\n"},
        {"<value><array><data><value><array><data></data></array></value><value><struct>" + member +
             "</struct></value></data></array></value>",
         "<value><array><data>\r\n<value><array><data>\r\n</data></array></value>\r\n"
         "<value><struct>\r\n<member>\r\n<name>n</name>\r\n" +
             Scalar("int", "1") + "</member>\r\n</struct></value>\r\n</data></array></value>\r\n"},
        {"<value><struct></struct></value>", "<value><struct>\r\n</struct></value>\r\n"},
        // Untyped, unknown, misnamed, a struct member without a name, an array without data.
        {"<value>abc</value>", ""},
        {"<value><nil/></value>", ""},
        {"<value><integer>1</integer></value>", ""},
        {"<val><int>1</int></val>", ""},
        {"", ""},
        {"<value><struct>" + member + "<member><value><int>1</int></value></member>", ""},
        {"<value><array><value><int>1</int></value></array></value>", ""},
        {"<value><array><data><value><struct><member><name>n</name><value>bare</value>", ""},
    };
    for (const auto& c : cases) {
        std::unique_ptr<XmlRpcValue> value = ReadValue(c.text);
        EXPECT_EQ(value ? Written(*value) : "", c.written) << c.text;
    }
}

TEST(XmlRpcValue, DoublesMatchPrintfFixedNotation) {
    for (double d : {0.0, -0.0, 1.0 / 3, -0.0000005, 0.0000005, 123456.7890125, 1e-300, 4.5e15,
                     -9.75e18, 2.5e-6, 0.1, 1e22, -DBL_MAX}) {
        char expected[400];
        std::snprintf(expected, sizeof expected, "%f", d);
        EXPECT_EQ(Written(XmlRpcValueDouble(d)), Scalar("double", expected)) << d;
    }
}

TEST(XmlRpcValue, StructMembersAndBadTypeCodes) {
    XmlRpcValueStruct s;
    s.SetMember("From", std::make_unique<XmlRpcValueString>("old"));
    s.SetMember("To", std::make_unique<XmlRpcValueBool>(true));
    s.SetMember("from", std::make_unique<XmlRpcValueInt>(9));
    ASSERT_EQ(s.members.size(), 2u);
    EXPECT_EQ(s.members[0].first, "From");
    EXPECT_EQ(s.GetMember("FROM")->valueType, kXmlRpcInt);
    EXPECT_EQ(s.GetMember("T"), nullptr);
    // A name and a text longer than the writer's own buffer.
    const std::string text(5000, 'x');
    s.SetMember(text.c_str(), std::make_unique<XmlRpcValueString>(text));
    EXPECT_TRUE(Written(s).ends_with("<name>" + text + "</name>\r\n" + Scalar("string", text) +
                                     "</member>\r\n</struct></value>\r\n"));
    // A type code outside the eight fails the writing, here or in any child.
    std::string out;
    s.GetMember("TO")->valueType = 8;
    EXPECT_FALSE(s.Write(out));
    XmlRpcValueArray a;
    a.Append(std::make_unique<XmlRpcValueArray>());
    a.elements[0]->valueType = -1;
    EXPECT_FALSE(a.Write(out));
}

// Containers nested levels deep, the inner levels written with empty-element tags: they nest the
// reading without nesting elements, so the scanner's element bound does not stop them.
std::string Nested(bool arrays, size_t levels) {
    std::string text = arrays ? "<value><array><data>" : "<value><struct>";
    for (size_t i = 1; i < levels; ++i)
        text += arrays ? "<value/><array/><data/>" : "<member/><name>m</name><value/><struct/>";
    return text + (arrays ? "</data></array></value>" : "</struct></value>");
}

TEST(XmlRpcValue, NestingBeyondTheBoundDoesNotRead) {
    for (bool arrays : {true, false}) {
        for (uint32_t levels : {2u, kMaxValueDepth, kMaxValueDepth + 1, 9999u}) {
            bool read = false, limit = false;
            std::string written;
            // A worker's stack: the recursion per level must stop long before it runs out.
            ASSERT_TRUE(test::RunOnSmallStack([&] {
                std::unique_ptr<XmlRpcValue> value = ReadValue(Nested(arrays, levels), &limit);
                if ((read = value != nullptr)) value->Write(written);
            }));
            EXPECT_EQ(read, levels <= kMaxValueDepth) << levels << arrays;
            EXPECT_EQ(limit, !read) << levels << arrays;
            // Written out, the levels nest elements; the value must still read within their bound.
            if (read) {
                EXPECT_NE(ReadValue(written), nullptr) << levels << arrays;
            }
        }
    }
}

}  // namespace
}  // namespace voxtrel
