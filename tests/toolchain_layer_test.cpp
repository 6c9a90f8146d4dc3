// Real linker output against the ELF layer: for each target machine, a static PIE built with clang
// and lld is read through kelpx and through llvm-readelf, and the two listings must agree on the
// ELF header, sections, segments, dynamic entries, relocations and dynamic symbols.
#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kelpx.h"
#include "support/run.h"
#include "support/toolchain.h"

namespace {

// ---- llvm-readelf's LLVM-style output, read as a tree

// llvm-readelf 14 prints the dynamic section and the relocations as plain text even when asked for
// JSON, so the LLVM style, which has the same structure and keeps every raw value, is what we read.
struct Node {
    std::string key;    // text before ": ", " {" or " ["
    std::string value;  // text after ": ", or what follows "[" on a list's first line
    std::string line;   // the whole line, trimmed
    std::vector<Node> kids;
};

std::string_view trim(std::string_view s) {
    const size_t first = s.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

std::optional<Node> parse_tree(const std::string &text, std::string *error) {
    Node root;
    std::vector<Node *> open = {&root};
    size_t line_no = 0;
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = text.find('\n', begin);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string_view line = trim(std::string_view(text).substr(begin, end - begin));
        begin = end + 1;
        ++line_no;
        if (line.empty()) {
            continue;
        }
        if (line == "}" || line == "]") {
            if (open.size() == 1) {
                *error = "line " + std::to_string(line_no) + ": unmatched " + std::string(line);
                return std::nullopt;
            }
            open.pop_back();
            continue;
        }
        Node node;
        node.line = line;
        bool opens = false;
        const size_t space = line.find(' ');
        if (line.size() >= 2 && line.substr(line.size() - 2) == " {") {
            node.key = line.substr(0, line.size() - 2);
            opens = true;
        } else if (space != std::string_view::npos && line.substr(space + 1, 1) == "[" &&
                   (line.size() == space + 2 || line[space + 2] == ' ')) {
            node.key = line.substr(0, space);
            node.value = trim(line.substr(space + 2));
            opens = true;
        } else if (const size_t colon = line.find(": "); colon != std::string_view::npos) {
            node.key = line.substr(0, colon);
            node.value = line.substr(colon + 2);  // untrimmed: an empty name prints as "Name:  (0)"
        } else {
            node.key = line;
        }
        Node *parent = open.back();
        parent->kids.push_back(std::move(node));
        if (opens) {
            open.push_back(&parent->kids.back());  // parent->kids does not grow until this closes
        }
    }
    if (open.size() != 1) {
        *error = "unclosed block " + open.back()->key;
        return std::nullopt;
    }
    return root;
}

const Node *child(const Node &node, std::string_view key) {
    for (const Node &kid : node.kids) {
        if (kid.key == key) {
            return &kid;
        }
    }
    return nullptr;
}

// A whole decimal or 0x-prefixed hexadecimal number, as readelf prints them.
std::optional<uint64_t> parse_u64(std::string_view s) {
    s = trim(s);
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    uint64_t value = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value, base);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size()) {
        return std::nullopt;
    }
    return value;
}

// Splits "text (raw)" into text and raw: how readelf shows a name or symbolic value with its number.
bool split_paren(std::string_view s, std::string *text, uint64_t *raw) {
    const size_t open = s.rfind('(');
    if (open == std::string_view::npos || s.empty() || s.back() != ')') {
        return false;
    }
    auto number = parse_u64(s.substr(open + 1, s.size() - open - 2));
    if (!number) {
        return false;
    }
    *raw = *number;
    if (text != nullptr) {
        *text = trim(s.substr(0, open));
    }
    return true;
}

// Reads fields of the tree and collects what it could not read, so one run reports every gap.
struct Reader {
    std::vector<std::string> errors;

    const Node *need(const Node &node, std::string_view key) {
        const Node *found = child(node, key);
        if (found == nullptr) {
            errors.push_back("no " + std::string(key) + " in " + node.line);
        }
        return found;
    }
    uint64_t num(const Node &node, std::string_view key) {
        const Node *found = need(node, key);
        if (found == nullptr) {
            return 0;
        }
        auto value = parse_u64(found->value);
        if (!value) {
            errors.push_back("not a number: " + found->line);
        }
        return value.value_or(0);
    }
    // The number in parentheses after a symbolic value ("Type: SHT_RELA (0x4)") or a flag list.
    uint64_t raw(const Node &node, std::string_view key, std::string *text = nullptr) {
        const Node *found = need(node, key);
        uint64_t value = 0;
        if (found != nullptr && !split_paren(found->value, text, &value)) {
            errors.push_back("no raw value: " + found->line);
        }
        return value;
    }
};

// ---- the listings that are compared

std::string hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

struct Row {
    std::string label;  // names the item in failure messages
    std::vector<std::pair<std::string, std::string>> fields;
    void add(const char *field, uint64_t value) { fields.emplace_back(field, hex(value)); }
    void add(const char *field, std::string value) { fields.emplace_back(field, std::move(value)); }
};
using Rows = std::vector<Row>;

void expect_rows(const std::string &where, const char *what, const Rows &have, const Rows &want) {
    if (have.size() != want.size()) {
        ADD_FAILURE() << where << ": number of " << what << ": have " << have.size() << ", want " << want.size();
    }
    for (size_t i = 0; i < have.size() && i < want.size(); ++i) {
        for (const auto &[field, want_value] : want[i].fields) {
            const auto it = std::find_if(have[i].fields.begin(), have[i].fields.end(),
                                         [&](const auto &have_field) { return have_field.first == field; });
            if (it == have[i].fields.end()) {
                ADD_FAILURE() << where << ": " << want[i].label << ": " << field << " not listed by the layer";
            } else if (it->second != want_value) {
                ADD_FAILURE() << where << ": " << want[i].label << ": " << field << ": have " << it->second
                              << ", want " << want_value;
            }
        }
    }
}

// ---- want: what llvm-readelf says

struct Want {
    unsigned bits = 0;
    bool big_endian = false;
    Rows header;
    Rows sections;
    std::vector<std::pair<uint64_t, uint64_t>> section_extents;  // sh_offset, sh_size; for the data check
    Rows segments;
    Rows dynamic;
    std::map<uint64_t, Rows> relocations;  // by the index of the section holding them
    Rows dynsyms;
};

// Flag words of the dynamic section that elfbuild has no name for (gABI; MIPS psABI for RHF_*).
constexpr uint64_t DT_FLAGS = 30, DT_MIPS_FLAGS = 0x70000005;
constexpr uint64_t DF_ORIGIN = 0x1, DF_SYMBOLIC = 0x2, DF_TEXTREL = 0x4, DF_BIND_NOW = 0x8;
constexpr uint64_t DF_1_NOW = 0x1, DF_1_PIE = 0x08000000;
constexpr uint64_t RHF_QUICKSTART = 0x1, RHF_NOTPOT = 0x2;

// Dynamic entries whose value readelf prints by name rather than as a number.
std::optional<uint64_t> named_dyn_value(uint64_t d_tag, std::string_view text) {
    if (d_tag == elfbuild::DT_PLTREL) {
        return text == "RELA" ? std::optional<uint64_t>(elfbuild::DT_RELA)
                              : text == "REL" ? std::optional<uint64_t>(elfbuild::DT_REL) : std::nullopt;
    }
    // Flag words print as the names of their set bits.
    static const std::map<std::pair<uint64_t, std::string_view>, uint64_t> flags = {
        {{DT_FLAGS, "ORIGIN"}, DF_ORIGIN},          {{DT_FLAGS, "SYMBOLIC"}, DF_SYMBOLIC},
        {{DT_FLAGS, "TEXTREL"}, DF_TEXTREL},        {{DT_FLAGS, "BIND_NOW"}, DF_BIND_NOW},
        {{elfbuild::DT_FLAGS_1, "NOW"}, DF_1_NOW},            {{elfbuild::DT_FLAGS_1, "PIE"}, DF_1_PIE},
        {{DT_MIPS_FLAGS, "QUICKSTART"}, RHF_QUICKSTART}, {{DT_MIPS_FLAGS, "NOTPOT"}, RHF_NOTPOT},
    };
    uint64_t value = 0;
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = text.find(' ', begin);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        if (end > begin) {
            auto it = flags.find({d_tag, text.substr(begin, end - begin)});
            if (it == flags.end()) {
                return std::nullopt;
            }
            value |= it->second;
        }
        begin = end + 1;
    }
    return value;
}

// A row of the dynamic table: "0x0000000000000008 RELASZ 168 (bytes)".
void read_dynamic_row(const Node &line, Want *want, Reader *reader) {
    const std::string_view text = line.line;
    const size_t tag_end = text.find(' ');
    auto d_tag = parse_u64(text.substr(0, tag_end));
    if (tag_end == std::string_view::npos || !d_tag) {
        reader->errors.push_back("dynamic row: " + line.line);
        return;
    }
    const std::string_view rest = trim(text.substr(tag_end));
    const size_t name_end = rest.find(' ');
    const std::string name(rest.substr(0, name_end));
    std::string_view value_text = name_end == std::string_view::npos ? "" : trim(rest.substr(name_end));
    if (value_text.size() > 8 && value_text.substr(value_text.size() - 8) == " (bytes)") {
        value_text.remove_suffix(8);
    }
    auto d_un = parse_u64(value_text);
    if (!d_un) {
        d_un = named_dyn_value(*d_tag, value_text);
    }
    if (!d_un) {
        reader->errors.push_back("dynamic value not understood: " + line.line);
    }
    Row row{"dynamic[" + std::to_string(want->dynamic.size()) + "] " + name, {}};
    row.add("d_tag", *d_tag);
    row.add("d_un", d_un.value_or(0));
    want->dynamic.push_back(std::move(row));
}

std::optional<Want> read_want(const Node &root, std::vector<std::string> *errors) {
    Reader r;
    Want want;
    const Node *ehdr = r.need(root, "ElfHeader");
    const Node *ident = ehdr != nullptr ? r.need(*ehdr, "Ident") : nullptr;
    const Node *sections = r.need(root, "Sections");
    const Node *segments = r.need(root, "ProgramHeaders");
    const Node *dynamic = r.need(root, "DynamicSection");
    const Node *relocations = r.need(root, "Relocations");
    const Node *dynsyms = r.need(root, "DynamicSymbols");
    if (ident == nullptr || sections == nullptr || segments == nullptr || dynamic == nullptr ||
        relocations == nullptr || dynsyms == nullptr) {
        *errors = r.errors;
        return std::nullopt;
    }

    const uint64_t elfclass = r.raw(*ident, "Class");
    want.bits = elfclass == elfbuild::ELFCLASS64 ? 64 : 32;
    want.big_endian = r.raw(*ident, "DataEncoding") == elfbuild::ELFDATA2MSB;
    Row h{"ELF header", {}};
    h.add("class", elfclass);
    h.add("msb", want.big_endian ? 1 : 0);
    h.add("e_type", r.raw(*ehdr, "Type"));
    h.add("e_machine", r.raw(*ehdr, "Machine"));
    h.add("e_version", r.num(*ehdr, "Version"));
    h.add("e_entry", r.num(*ehdr, "Entry"));
    h.add("e_phoff", r.num(*ehdr, "ProgramHeaderOffset"));
    h.add("e_shoff", r.num(*ehdr, "SectionHeaderOffset"));
    h.add("e_flags", r.raw(*ehdr, "Flags"));
    h.add("e_ehsize", r.num(*ehdr, "HeaderSize"));
    h.add("e_phentsize", r.num(*ehdr, "ProgramHeaderEntrySize"));
    h.add("e_phnum", r.num(*ehdr, "ProgramHeaderCount"));
    h.add("e_shentsize", r.num(*ehdr, "SectionHeaderEntrySize"));
    h.add("e_shnum", r.num(*ehdr, "SectionHeaderCount"));
    h.add("e_shstrndx", r.num(*ehdr, "StringTableSectionIndex"));
    want.header.push_back(std::move(h));

    std::map<uint64_t, std::string> section_names;
    for (const Node &s : sections->kids) {
        std::string name;
        Row row{"", {}};
        const uint64_t index = r.num(s, "Index");
        const uint64_t sh_name = r.raw(s, "Name", &name);
        const uint64_t sh_type = r.raw(s, "Type");
        const uint64_t sh_flags = r.raw(s, "Flags");
        const uint64_t sh_offset = r.num(s, "Offset");
        const uint64_t sh_size = r.num(s, "Size");
        row.label = "section " + std::to_string(index) + " " + name;
        row.add("index", index);
        row.add("name", name);
        row.add("sh_name", sh_name);
        row.add("sh_type", sh_type);
        row.add("sh_flags", sh_flags & 0xffffffffu);  // the layer hands out the low 32 bits
        row.add("sh_addr", r.num(s, "Address"));
        row.add("sh_offset", sh_offset);
        row.add("sh_size", sh_size);
        row.add("sh_link", r.num(s, "Link"));
        row.add("sh_info", r.num(s, "Info"));
        row.add("sh_addralign", r.num(s, "AddressAlignment"));
        row.add("sh_entsize", r.num(s, "EntrySize"));
        const bool in_file = sh_type != elfbuild::SHT_NOBITS;
        row.add("data_size", in_file ? sh_size : 0);
        row.add("is_dynamic", sh_type == elfbuild::SHT_DYNAMIC ? 1 : 0);
        section_names[index] = name;
        want.section_extents.emplace_back(in_file ? sh_offset : 0, in_file ? sh_size : 0);
        want.sections.push_back(std::move(row));
    }

    for (const Node &p : segments->kids) {
        std::string type_name;
        Row row{"segment " + std::to_string(want.segments.size()), {}};
        row.add("p_type", r.raw(p, "Type", &type_name));
        row.label += " " + type_name;
        row.add("p_offset", r.num(p, "Offset"));
        row.add("p_vaddr", r.num(p, "VirtualAddress"));
        row.add("p_paddr", r.num(p, "PhysicalAddress"));
        row.add("p_filesz", r.num(p, "FileSize"));
        row.add("p_memsz", r.num(p, "MemSize"));
        row.add("p_flags", r.raw(p, "Flags"));
        row.add("p_align", r.num(p, "Alignment"));
        want.segments.push_back(std::move(row));
    }

    for (const Node &line : dynamic->kids) {
        if (line.line.rfind("0x", 0) == 0) {  // skips the column heading
            read_dynamic_row(line, &want, &r);
        }
    }

    // "Section (5) .rela.dyn {" holds one "Relocation {" block per entry.
    const uint64_t addend_mask = want.bits == 32 ? 0xffffffffu : UINT64_MAX;
    for (const Node &table : relocations->kids) {
        unsigned long long index = 0;
        if (std::sscanf(table.key.c_str(), "Section (%llu)", &index) != 1) {
            r.errors.push_back("relocation table heading: " + table.line);
            continue;
        }
        Rows &rows = want.relocations[index];
        for (const Node &rel : table.kids) {
            std::string sym_name;
            Row row{section_names[index] + "[" + std::to_string(rows.size()) + "]", {}};
            row.add("r_offset", r.num(rel, "Offset"));
            row.add("r_type", r.raw(rel, "Type"));
            row.add("r_sym", r.raw(rel, "Symbol", &sym_name));
            // readelf prints no addend for REL entries; the layer reports 0 for them.
            row.add("r_addend", child(rel, "Addend") != nullptr ? r.num(rel, "Addend") & addend_mask : 0);
            if (sym_name != "-") {  // readelf's mark for symbol index 0
                row.label += " " + sym_name;
            }
            rows.push_back(std::move(row));
        }
    }

    for (const Node &s : dynsyms->kids) {
        std::string name;
        Row row{"", {}};
        const uint64_t st_name = r.raw(s, "Name", &name);
        row.label = "dynamic symbol " + std::to_string(want.dynsyms.size()) + " " + name;
        row.add("st_name", st_name);
        row.add("name", name);
        row.add("st_value", r.num(s, "Value"));
        row.add("st_size", r.num(s, "Size"));
        row.add("st_info", (r.raw(s, "Binding") << 4) | r.raw(s, "Type"));
        // A plain number, or a flag list on machines that give st_other bits a meaning (ppc64, mips).
        const Node *other = r.need(s, "Other");
        uint64_t st_other = 0;
        if (other != nullptr && !split_paren(other->value, nullptr, &st_other)) {
            st_other = r.num(s, "Other");
        }
        row.add("st_other", st_other);
        row.add("st_shndx", r.raw(s, "Section"));
        want.dynsyms.push_back(std::move(row));
    }

    *errors = r.errors;
    if (!r.errors.empty()) {
        return std::nullopt;
    }
    return want;
}

// ---- have: what the layer says

struct Have {
    Rows header;
    Rows sections;
    Rows segments;
    Rows dynamic;
    std::map<uint64_t, Rows> relocations;
    Rows dynsyms;
};

std::string section_name(const kelpx_section &section) {
    const kelp_string *name = kelpx_section_get_name_str(&section);
    return name != nullptr && name->text != nullptr ? std::string(name->text, name->length) : "(no name)";
}

// Fills have from the loaded file; problems that stop a listing are reported as failures.
void read_have(const std::string &where, const kelpx_handle *elf, Have *have) {
    kelpx_ehdr ehdr{};
    if (kelpx_get_ehdr(elf, &ehdr) != 0) {
        ADD_FAILURE() << where << ": kelpx_get_ehdr failed";
    } else {
        Row h{"ELF header", {}};
        h.add("class", elf->elfclass);
        h.add("msb", elf->msb);
        h.add("e_type", ehdr.e_type);
        h.add("e_machine", ehdr.e_machine);
        h.add("e_version", ehdr.e_version);
        h.add("e_entry", kelpx_ehdr_get_entry(&ehdr));
        h.add("e_phoff", ehdr.e_phoff);
        h.add("e_shoff", ehdr.e_shoff);
        h.add("e_flags", ehdr.e_flags);
        h.add("e_ehsize", ehdr.e_ehsize);
        h.add("e_phentsize", ehdr.e_phentsize);
        h.add("e_phnum", ehdr.e_phnum);
        h.add("e_shentsize", ehdr.e_shentsize);
        h.add("e_shnum", ehdr.e_shnum);
        h.add("e_shstrndx", ehdr.e_shstrndx);
        have->header.push_back(std::move(h));
    }

    std::vector<kelpx_section> sections;
    for (uint32_t i = 0; i < kelpx_get_num_of_sections(elf); ++i) {
        kelpx_section s{};
        if (kelpx_get_section(elf, &s, i) != 0) {
            ADD_FAILURE() << where << ": kelpx_get_section " << i << " failed";
            break;
        }
        Row row{"section " + std::to_string(i), {}};
        row.add("index", s.index);
        row.add("name", section_name(s));
        row.add("sh_name", s.sh_name);
        row.add("sh_type", kelpx_section_get_type(&s));
        row.add("sh_flags", kelpx_section_get_flags(&s));
        row.add("sh_addr", kelpx_section_get_addr(&s));
        row.add("sh_offset", s.sh_offset);
        row.add("sh_size", kelpx_section_get_size(&s));
        row.add("sh_link", s.sh_link);
        row.add("sh_info", s.sh_info);
        row.add("sh_addralign", s.sh_addralign);
        row.add("sh_entsize", s.sh_entsize);
        row.add("data_size", kelpx_section_data_size(&s));
        row.add("is_dynamic", kelpx_section_is_dynamic(&s) != 0 ? 1 : 0);
        have->sections.push_back(std::move(row));
        sections.push_back(s);
    }

    for (uint32_t i = 0; i < kelpx_get_num_of_programs(elf); ++i) {
        kelpx_program p{};
        if (kelpx_get_program(elf, &p, i) != 0) {
            ADD_FAILURE() << where << ": kelpx_get_program " << i << " failed";
            break;
        }
        Row row{"segment " + std::to_string(i), {}};
        row.add("p_type", kelpx_program_get_type(&p));
        row.add("p_offset", p.p_offset);
        row.add("p_vaddr", kelpx_program_get_vaddr(&p));
        row.add("p_paddr", p.p_paddr);
        row.add("p_filesz", p.p_filesz);
        row.add("p_memsz", kelpx_program_get_memsz(&p));
        row.add("p_flags", p.p_flags);
        row.add("p_align", kelpx_program_get_align(&p));
        have->segments.push_back(std::move(row));
    }

    // The dynamic section, up to and including DT_NULL, as the tool walks it.
    const kelpx_section *dynamic = nullptr;
    for (const kelpx_section &s : sections) {
        if (kelpx_section_is_dynamic(&s) != 0) {
            dynamic = &s;
            break;
        }
    }
    if (dynamic == nullptr) {
        ADD_FAILURE() << where << ": the layer reports no dynamic section";
        return;
    }
    std::map<uint64_t, uint64_t> dt;  // first value of each tag
    const uint32_t dyn_size = kelpx_get_sizeof_Dyn(elf);
    for (uint32_t i = 0; uint64_t{i + 1} * dyn_size <= kelpx_section_data_size(dynamic); ++i) {
        kelpx_dyn d{};
        if (kelpx_section_get_dyn(dynamic, &d, i) != 0) {
            ADD_FAILURE() << where << ": kelpx_section_get_dyn " << i << " failed";
            break;
        }
        Row row{"dynamic[" + std::to_string(i) + "]", {}};
        row.add("d_tag", kelpx_dyn_get_tag(&d));
        row.add("d_un", kelpx_dyn_get_val(&d));
        have->dynamic.push_back(std::move(row));
        dt.emplace(kelpx_dyn_get_tag(&d), kelpx_dyn_get_val(&d));
        if (kelpx_dyn_get_tag(&d) == elfbuild::DT_NULL) {
            break;
        }
    }

    auto section_at = [&](uint64_t addr, std::initializer_list<uint32_t> types) -> const kelpx_section * {
        for (const kelpx_section &s : sections) {
            for (uint32_t type : types) {
                if (kelpx_section_get_type(&s) == type && kelpx_section_get_addr(&s) == addr) {
                    return &s;
                }
            }
        }
        return nullptr;
    };

    // The relocation tables the dynamic section names, decoded from the sections that hold them.
    struct Table {
        const char *name;
        uint64_t addr, size, entsize;
        bool rela;
    };
    std::vector<Table> tables;
    if (dt.count(elfbuild::DT_RELA) != 0) {
        tables.push_back({"DT_RELA", dt[elfbuild::DT_RELA], dt[elfbuild::DT_RELASZ], dt[elfbuild::DT_RELAENT], true});
    }
    if (dt.count(elfbuild::DT_REL) != 0) {
        tables.push_back({"DT_REL", dt[elfbuild::DT_REL], dt[elfbuild::DT_RELSZ], dt[elfbuild::DT_RELENT], false});
    }
    if (dt.count(elfbuild::DT_JMPREL) != 0) {
        const bool rela = dt[elfbuild::DT_PLTREL] == elfbuild::DT_RELA;
        tables.push_back({"DT_JMPREL", dt[elfbuild::DT_JMPREL], dt[elfbuild::DT_PLTRELSZ],
                          rela ? kelpx_get_sizeof_Rela(elf) : kelpx_get_sizeof_Rel(elf), rela});
    }
    // An ELF32 addend may come back zero- or sign-extended; readelf shows its 32 bits.
    const uint64_t addend_mask = elf->elfclass == elfbuild::ELFCLASS32 ? 0xffffffffu : UINT64_MAX;
    for (const Table &t : tables) {
        const kelpx_section *s = section_at(t.addr, {elfbuild::SHT_REL, elfbuild::SHT_RELA});
        if (s == nullptr) {
            ADD_FAILURE() << where << ": no relocation section at " << t.name << " " << hex(t.addr);
            continue;
        }
        const uint32_t want_entsize = t.rela ? kelpx_get_sizeof_Rela(elf) : kelpx_get_sizeof_Rel(elf);
        if (t.entsize != want_entsize) {
            ADD_FAILURE() << where << ": " << t.name << " entry size: have " << want_entsize << ", want "
                          << t.entsize;
            continue;
        }
        Rows &rows = have->relocations[s->index];
        for (uint64_t off = 0; off + t.entsize <= t.size; off += t.entsize) {
            kelpx_rel rel{};
            const uint32_t off32 = static_cast<uint32_t>(off);  // the tables here are a few hundred bytes
            const int status = t.rela ? kelpx_section_get_rela_offs(s, &rel, off32)
                                      : kelpx_section_get_rel_offs(s, &rel, off32);
            if (status != 0) {
                ADD_FAILURE() << where << ": decoding " << t.name << " at offset " << off << " failed";
                break;
            }
            Row row{"relocation " + std::to_string(rows.size()), {}};
            row.add("r_offset", kelpx_rel_get_offset(&rel));
            row.add("r_type", kelpx_rel_get_r_type(&rel));
            row.add("r_sym", kelpx_rel_get_r_sym(&rel));
            row.add("r_addend", kelpx_rel_get_addend(&rel) & addend_mask);
            rows.push_back(std::move(row));
        }
    }

    // The dynamic symbols, named through DT_STRTAB.
    const kelpx_section *symtab = section_at(dt[elfbuild::DT_SYMTAB], {elfbuild::SHT_DYNSYM});
    const kelpx_section *strtab = section_at(dt[elfbuild::DT_STRTAB], {elfbuild::SHT_STRTAB});
    const uint64_t syment = dt[elfbuild::DT_SYMENT];
    if (symtab == nullptr || strtab == nullptr || syment != kelpx_get_sizeof_Sym(elf)) {
        ADD_FAILURE() << where << ": cannot find the dynamic symbols: DT_SYMTAB " << hex(dt[elfbuild::DT_SYMTAB])
                      << ", DT_STRTAB " << hex(dt[elfbuild::DT_STRTAB]) << ", DT_SYMENT " << syment << " (layer's "
                      << kelpx_get_sizeof_Sym(elf) << ")";
        return;
    }
    for (uint64_t off = 0; off + syment <= kelpx_section_get_size(symtab); off += syment) {
        kelpx_sym sym{};
        if (kelpx_section_get_sym_offs(symtab, &sym, static_cast<uint32_t>(off)) != 0) {
            ADD_FAILURE() << where << ": decoding the dynamic symbol at offset " << off << " failed";
            break;
        }
        kelp_string name{};
        std::string name_text = "(unreadable)";
        if (kelp_string_init(&name, 0) != 0) {
            if (kelpx_section_data_readname(strtab, &name, kelpx_sym_get_name_offs(&sym)) == 0) {
                name_text.assign(name.text, name.length);
            }
            kelp_string_free(&name);
        }
        Row row{"dynamic symbol " + std::to_string(have->dynsyms.size()), {}};
        row.add("st_name", kelpx_sym_get_name_offs(&sym));
        row.add("name", name_text);
        row.add("st_value", kelpx_sym_get_value(&sym));
        row.add("st_size", sym.st_size);
        row.add("st_info", kelpx_sym_get_info(&sym));
        row.add("st_other", sym.st_other);
        row.add("st_shndx", kelpx_sym_get_shndx(&sym));
        have->dynsyms.push_back(std::move(row));
    }
}

// Each section's bytes through the layer must be the file's bytes at the offset readelf reports.
void expect_section_data(const std::string &where, const kelpx_handle *elf, const std::vector<uint8_t> &file,
                         const Want &want) {
    for (uint32_t i = 0; i < want.section_extents.size() && i < kelpx_get_num_of_sections(elf); ++i) {
        const auto [offset, size] = want.section_extents[i];
        kelpx_section s{};
        if (size == 0 || offset > file.size() || size > file.size() - offset || kelpx_get_section(elf, &s, i) != 0) {
            continue;
        }
        std::vector<uint8_t> data(size);
        if (kelpx_section_data_read(&s, data.data(), 0, size, 0) == 0) {
            ADD_FAILURE() << where << ": " << want.sections[i].label << ": kelpx_section_data_read of " << size
                          << " bytes failed";
            continue;
        }
        auto from = file.begin() + static_cast<std::ptrdiff_t>(offset);
        const auto [have_at, want_at] = std::mismatch(data.begin(), data.end(), from);
        if (have_at != data.end()) {
            const auto at = have_at - data.begin();
            ADD_FAILURE() << where << ": " << want.sections[i].label << ": data byte " << at << ": have "
                          << hex(*have_at) << ", want " << hex(*want_at);
        }
    }
}

// ---- the test

struct Link {
    const char *name;
    bool high_base;  // an image base with the top address bit set, and every symbol exported
};

std::vector<std::string> ldflags(const toolchain::Target &target, const Link &link) {
    std::vector<std::string> flags = {"-z", "undefs"};
    if (link.high_base) {
        flags.push_back("--export-dynamic");
        flags.push_back(target.bits == 64 ? "--image-base=0xffffffff80000000" : "--image-base=0x80000000");
    }
    return flags;
}

struct Case {
    toolchain::Target target;
    Link link;
};

void PrintTo(const Case &c, std::ostream *os) {
    *os << c.target.name << "/" << c.link.name;
}

class ToolchainLayerTest : public testing::TestWithParam<Case> {};

TEST_P(ToolchainLayerTest, LayerAgreesWithReadelf) {
    const auto &[target, link] = GetParam();
    if (std::getenv("PIESHIFT_SKIP_TOOLCHAIN_TESTS") != nullptr) {
        GTEST_SKIP() << "PIESHIFT_SKIP_TOOLCHAIN_TESTS is set";
    }
    toolchain::Tools tools;
    if (auto missing = toolchain::find_tools(&tools)) {
        FAIL() << *missing << " (set PIESHIFT_SKIP_TOOLCHAIN_TESTS to skip these tests)";
    }
    const std::string where = target.name + "/" + link.name;

    const testrun::TempDir dir;
    const std::string data = std::string(PIESHIFT_SOURCE_DIR) + "/tests/data/";
    const std::string elf_path = dir.file("sample.elf");
    auto build_error = toolchain::build_static_pie(
        target, {data + "reloc_sample.c", data + "reloc_imports.c"}, elf_path, ldflags(target, link));
    ASSERT_FALSE(build_error) << *build_error;

    const testrun::Result listing =
        testrun::run_tool(tools.readelf, {"--elf-output-style=LLVM", "--file-header", "--sections",
                                          "--program-headers", "--dynamic-table", "--relocations",
                                          "--expand-relocs", "--dyn-syms", elf_path});
    ASSERT_EQ(listing.status, 0) << listing.err;
    std::string parse_error;
    const std::optional<Node> tree = parse_tree(listing.out, &parse_error);
    ASSERT_TRUE(tree) << "llvm-readelf output: " << parse_error;
    std::vector<std::string> read_errors;
    const std::optional<Want> want = read_want(*tree, &read_errors);
    for (const std::string &error : read_errors) {
        ADD_FAILURE() << where << ": llvm-readelf output: " << error;
    }
    ASSERT_TRUE(want);
    ASSERT_EQ(want->bits, target.bits) << where << ": the toolchain built the wrong ELF class";
    ASSERT_EQ(want->big_endian, target.big_endian) << where << ": the toolchain built the wrong byte order";
    // The sample is meant to need symbol-free and symbol-naming relocations; check it still does.
    ASSERT_FALSE(want->relocations.empty()) << where << ": the sample has no relocations";
    ASSERT_GT(want->dynsyms.size(), 1u) << where << ": the sample has no dynamic symbols";

    std::ifstream in(elf_path, std::ios::binary);
    const std::vector<uint8_t> file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};

    kelpx_handle elf{};
    ASSERT_EQ(kelpx_load(&elf, elf_path.c_str()), 0) << where << ": kelpx_load failed";
    Have have;
    read_have(where, &elf, &have);
    expect_rows(where, "ELF headers", have.header, want->header);
    expect_rows(where, "sections", have.sections, want->sections);
    expect_section_data(where, &elf, file, *want);
    expect_rows(where, "segments", have.segments, want->segments);
    expect_rows(where, "dynamic entries", have.dynamic, want->dynamic);
    for (const auto &[index, rows] : want->relocations) {
        const auto it = have.relocations.find(index);
        if (it == have.relocations.end()) {
            ADD_FAILURE() << where << ": relocations of section " << index << " not found through the dynamic section";
            continue;
        }
        expect_rows(where, "relocations", it->second, rows);
    }
    for (const auto &[index, rows] : have.relocations) {
        if (want->relocations.count(index) == 0) {
            ADD_FAILURE() << where << ": section " << index << " is a dynamic relocation table to the layer only";
        }
    }
    expect_rows(where, "dynamic symbols", have.dynsyms, want->dynsyms);
    kelpx_unload(&elf);
}

std::vector<Case> cases() {
    std::vector<Case> all;
    for (const toolchain::Target &target : toolchain::targets()) {
        all.push_back({target, {"default_base", false}});
        all.push_back({target, {"high_base", true}});
    }
    return all;
}

INSTANTIATE_TEST_SUITE_P(Targets, ToolchainLayerTest, testing::ValuesIn(cases()),
                         [](const testing::TestParamInfo<Case> &info) {
                             return info.param.target.name + "_" + info.param.link.name;
                         });

}  // namespace
