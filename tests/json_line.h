// A strict reader for the daemon's JSON log, written here so that the tests
// depend on no other program: one line, one flat object whose values are
// strings, numbers and the three literals. Anything a strict JSON parser
// would refuse is refused, with the reason.
#ifndef SOCKHERD_TEST_JSON_LINE_H
#define SOCKHERD_TEST_JSON_LINE_H

#include <string>
#include <vector>

namespace json {

enum class kind { string, number, literal };

struct field {
    std::string name;
    kind type;
    std::string text;  // a string decoded to UTF-8; a number or literal as written
};

struct object {
    std::vector<field> fields;  // in the order of the line
    // The field of that name, or null.
    const field *find(const std::string &name) const;
};

// Reads line (without its newline) into parsed. Empty when it is one JSON
// object of strings, numbers and literals; else what is wrong and where.
// Nested objects and arrays are refused too: the daemon writes none.
std::string parse_object(const std::string &line, object &parsed);

}  // namespace json

#endif
