# Script mode: writes OUT, a C++ source holding each file of FILES as a byte array.
string(REPLACE "|" ";" FILES "${FILES}")
set(body "")
set(table "")
set(index 0)
foreach(f ${FILES})
    get_filename_component(name ${f} NAME)
    file(READ ${f} hex HEX)
    string(LENGTH "${hex}" hex_len)
    math(EXPR size "${hex_len} / 2")
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    string(APPEND body "static const unsigned char kResource${index}[] = {${bytes}};\n")
    string(APPEND table "    {\"${name}\", kResource${index}, ${size}},\n")
    math(EXPR index "${index} + 1")
endforeach()
file(WRITE ${OUT} "// Generated at build time from res/; do not edit.\n"
    "#include \"platform/resources.h\"\n#include <cstring>\n\nnamespace vidora {\nnamespace {\n"
    "${body}\nstruct Entry {\n    const char* name;\n    const unsigned char* data;\n    size_t size;\n};\n"
    "const Entry kEntries[] = {\n${table}    {nullptr, nullptr, 0},\n};\n}  // namespace\n\n"
    "ResourceBytes embeddedResource(const char* name) {\n"
    "    for (const Entry* e = kEntries; e->name != nullptr; ++e) {\n"
    "        if (std::strcmp(e->name, name) == 0) return {e->data, e->size};\n"
    "    }\n    return {nullptr, 0};\n}\n\n}  // namespace vidora\n")
