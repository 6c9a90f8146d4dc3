// The container writers: Intel HEX, S-records and an ELF executable, built in memory from the
// relocated image. The ELF records go through the access layer's encoders, in the input's class and
// byte order; the input's own .symtab is carried over with its symbols moved by the load bias.
#include "imgfmt.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "kelpbase.h"
#include "kelpx_elf.h"
#include "section.h"

namespace {

constexpr const char *format_names[] = {"binary", "ihex", "srec", "elf"};
constexpr uint64_t record_size = 16;  // data bytes per Intel HEX or S-record line, as objcopy writes

// A record's bytes as hex digits, then its checksum: the two's complement of the byte sum for Intel
// HEX, the ones' complement for S-records.
void hex_record(std::string *out, const char *start, const std::vector<uint8_t> &bytes, bool twos_complement) {
    static constexpr char digits[] = "0123456789ABCDEF";
    uint8_t sum = 0;
    out->append(start);
    for (uint8_t b : bytes) {
        sum = static_cast<uint8_t>(sum + b);
        out->push_back(digits[b >> 4]);
        out->push_back(digits[b & 15]);
    }
    uint8_t check = static_cast<uint8_t>(twos_complement ? 0x100 - sum : 0xff - sum);
    out->push_back(digits[check >> 4]);
    out->push_back(digits[check & 15]);
    out->push_back('\n');
}

// Big-endian bytes of value, width bytes: the byte order of every address in both text formats.
void append_be(std::vector<uint8_t> *bytes, uint64_t value, unsigned width) {
    for (unsigned i = width; i-- > 0;)
        bytes->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void ihex_line(std::string *out, uint16_t offset, uint8_t type, const uint8_t *data, size_t size) {
    std::vector<uint8_t> r{static_cast<uint8_t>(size)};
    append_be(&r, offset, 2);
    r.push_back(type);
    r.insert(r.end(), data, data + size);
    hex_record(out, ":", r, true);
}

void srec_line(std::string *out, char type, unsigned width, uint64_t address, const uint8_t *data, size_t size) {
    std::vector<uint8_t> r{static_cast<uint8_t>(width + size + 1)};
    append_be(&r, address, width);
    r.insert(r.end(), data, data + size);
    const char start[3] = {'S', type, '\0'};
    hex_record(out, start, r, false);
}

uint64_t align_up(uint64_t value, uint64_t alignment) {
    return (value + alignment - 1) & ~(alignment - 1);
}

// The ELF executable: header, one RWX PT_LOAD holding the image at ADDRESS, the image, the input's
// symbols of the image moved by the load bias, the string tables, and section headers for each section
// of the image at its new address. The image's file offset matches ADDRESS modulo 64 KiB, the largest
// page size of the machines, so that a system loader can map it.
void encode_elf(const context *ctx, const kelpx_handle *elf, uint64_t entry, std::string *out) {
    constexpr uint64_t max_page = 0x10000;
    const uint32_t ehsize = kelpx_get_sizeof_Ehdr(elf), phsize = kelpx_get_sizeof_Phdr(elf);
    const uint32_t shsize = kelpx_get_sizeof_Shdr(elf), symsize = kelpx_get_sizeof_Sym(elf);
    const uint64_t bias = ctx->address - ctx->vspace_start, word = kelpx_get_sizeof_Addr(elf);
    uint64_t image_off = ctx->address % max_page;
    if (image_off < ehsize + phsize)
        image_off += max_page;

    // Sections of the image, in input order; new_index maps input indices to output ones (0: none).
    std::string shstrtab(1, '\0'), strtab(1, '\0');
    std::vector<kelpx_section> sections(1, kelpx_section{});
    const uint32_t num_sections = kelpx_get_num_of_sections(elf);
    std::vector<uint16_t> new_index(num_sections, 0);
    kelpx_section symtab{};
    bool has_symtab = false;
    for (uint32_t i = 1; i < num_sections; i++) {  // 0 is the reserved null section
        kelpx_section s;
        if (kelpx_get_section(elf, &s, i) != 0)
            continue;
        if (s.sh_type == elf::SHT_SYMTAB && !has_symtab) {
            symtab = s;
            has_symtab = true;
        }
        // Section indices from 0xff00 up are reserved; so many sections would need extended numbering.
        if (!section_in_image(ctx, &s) || sections.size() >= elf::SHN_LORESERVE - 3)
            continue;
        new_index[i] = static_cast<uint16_t>(sections.size());
        const kelp_string *name = kelpx_section_get_name_str(&s);
        s.sh_name = static_cast<uint32_t>(shstrtab.size());
        shstrtab.append(name != nullptr && name->text != nullptr ? name->text : "").push_back('\0');
        s.sh_offset = image_off + (s.sh_addr - ctx->vspace_start);
        s.sh_addr += bias;
        s.sh_link = s.sh_info = 0;
        sections.push_back(s);
    }

    // The input's symbols that the image holds, moved with it; absolute ones as they are. Symbols of
    // sections left out would name addresses that the image does not have.
    std::string syms(symsize, '\0');
    uint32_t num_locals = 1;
    kelpx_section strings;
    if (has_symtab && kelpx_get_section(elf, &strings, symtab.sh_link) == 0) {
        kelpx_sym sym;
        for (uint64_t off = symsize; off <= symtab.sh_size - std::min<uint64_t>(symtab.sh_size, symsize) &&
                                     off <= UINT32_MAX &&
                                     kelpx_section_get_sym_offs(&symtab, &sym, static_cast<uint32_t>(off)) == 0;
             off += symsize) {
            if (sym.st_shndx == elf::SHN_UNDEF || (sym.st_shndx != elf::SHN_ABS &&
                                                   (sym.st_shndx >= num_sections || new_index[sym.st_shndx] == 0)))
                continue;
            if (sym.st_shndx != elf::SHN_ABS) {
                sym.st_value += bias;
                sym.st_shndx = new_index[sym.st_shndx];
            }
            const char *text = "";
            size_t length = 0;
            if (kelpx_section_data_name_at(&strings, sym.st_name, &text, &length) == 0) {
                sym.st_name = static_cast<uint32_t>(strtab.size());
                strtab.append(text, length).push_back('\0');
            } else {
                sym.st_name = 0;
            }
            if (sym.st_info >> 4 == elf::STB_LOCAL)
                num_locals++;
            size_t at = syms.size();
            syms.resize(at + symsize);
            kelpx_put_sym(elf, reinterpret_cast<uint8_t *>(syms.data() + at), &sym);
        }
    }

    // .symtab, .strtab and .shstrtab follow the image; their headers close the file.
    const uint64_t symtab_off = align_up(image_off + ctx->image_size, word);
    const uint64_t strtab_off = symtab_off + syms.size();
    const auto sections_before_tables = static_cast<uint32_t>(sections.size());
    auto table = [&](const char *name, uint32_t type, uint64_t offset, uint64_t size) {
        kelpx_section s{};
        s.sh_name = static_cast<uint32_t>(shstrtab.size());
        shstrtab.append(name).push_back('\0');
        s.sh_type = type;
        s.sh_offset = offset;
        s.sh_size = size;
        s.sh_addralign = 1;
        sections.push_back(s);
    };
    if (has_symtab) {
        table(".symtab", elf::SHT_SYMTAB, symtab_off, syms.size());
        sections.back().sh_link = sections_before_tables + 1;
        sections.back().sh_info = num_locals;
        sections.back().sh_entsize = symsize;
        sections.back().sh_addralign = word;
        table(".strtab", elf::SHT_STRTAB, strtab_off, strtab.size());
    }
    const uint64_t shstrtab_off = has_symtab ? strtab_off + strtab.size() : symtab_off;
    table(".shstrtab", elf::SHT_STRTAB, shstrtab_off, 0);
    sections.back().sh_size = shstrtab.size();
    const uint64_t shoff = align_up(shstrtab_off + shstrtab.size(), word);

    out->assign(shoff + sections.size() * shsize, '\0');
    auto *file = reinterpret_cast<uint8_t *>(out->data());
    kelpx_ehdr ehdr{elf::ET_EXEC, elf->e_machine, elf::EV_CURRENT, entry, ehsize, shoff, elf->e_flags,
                    static_cast<uint16_t>(ehsize), static_cast<uint16_t>(phsize), 1, static_cast<uint16_t>(shsize),
                    static_cast<uint16_t>(sections.size()), static_cast<uint16_t>(sections.size() - 1)};
    kelpx_put_ehdr(elf, file, &ehdr);
    kelpx_program load{elf::PT_LOAD, elf::PF_RWX, image_off, ctx->address, ctx->address, ctx->image_size,
                       ctx->image_size, max_page};
    kelpx_put_program(elf, file + ehsize, &load);
    std::copy_n(ctx->vspace, ctx->image_size, file + image_off);
    if (has_symtab) {
        std::copy(syms.begin() + symsize, syms.end(), file + symtab_off + symsize);
        std::copy(strtab.begin(), strtab.end(), file + strtab_off);
    }
    std::copy(shstrtab.begin(), shstrtab.end(), file + shstrtab_off);
    for (size_t i = 1; i < sections.size(); i++)
        kelpx_put_section(elf, file + shoff + i * shsize, &sections[i]);
}

}  // namespace

bool imgfmt_parse(const char *name, imgfmt_format *format) {
    for (size_t i = 0; i < std::size(format_names); i++) {
        if (strcmp(name, format_names[i]) == 0) {
            *format = static_cast<imgfmt_format>(i);
            return true;
        }
    }
    return false;
}

int imgfmt_check(imgfmt_format format, uint64_t address, uint64_t size, uint64_t entry) {
    if (format != imgfmt_format::ihex && format != imgfmt_format::srec)
        return 0;
    // The caller has made sure that the image ends inside the 64-bit space.
    uint64_t last = size == 0 ? address : address + (size - 1);
    if (last <= UINT32_MAX && entry <= UINT32_MAX)
        return 0;
    fprintf(stderr,
            "ERROR: %s holds 32-bit addresses only: the image at 0x%" PRIx64 "..0x%" PRIx64 " with entry point 0x%" PRIx64
            " reaches beyond 0xffffffff\n",
            format == imgfmt_format::ihex ? "Intel HEX" : "S-record", address, last, entry);
    return -1;
}

void imgfmt_ihex(const uint8_t *image, uint64_t size, uint64_t address, uint64_t entry, std::string *out) {
    uint64_t upper = UINT64_MAX;  // none written yet
    for (uint64_t done = 0; done < size;) {
        uint64_t at = address + done;
        if (at >> 16 != upper) {
            upper = at >> 16;
            const uint8_t base[2] = {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)};
            ihex_line(out, 0, 4, base, 2);  // extended linear address
        }
        // A record never crosses a 64 KiB boundary: its offset field would wrap.
        uint64_t n = std::min({record_size, size - done, 0x10000 - (at & 0xffff)});
        ihex_line(out, static_cast<uint16_t>(at), 0, image + done, static_cast<size_t>(n));
        done += n;
    }
    std::vector<uint8_t> start;
    append_be(&start, entry, 4);
    ihex_line(out, 0, 5, start.data(), start.size());  // start linear address
    ihex_line(out, 0, 1, nullptr, 0);
}

void imgfmt_srec(const uint8_t *image, uint64_t size, uint64_t address, uint64_t entry, const char *header,
                 std::string *out) {
    // S0's count byte covers its 2 address bytes, the text and the checksum.
    srec_line(out, '0', 2, 0, reinterpret_cast<const uint8_t *>(header), std::min<size_t>(strlen(header), 252));
    uint64_t highest = std::max(size == 0 ? address : address + (size - 1), entry);
    unsigned width = highest <= 0xffff ? 2 : highest <= 0xffffff ? 3 : 4;
    const char data_type = static_cast<char>('1' + width - 2), end_type = static_cast<char>('9' - (width - 2));
    uint64_t records = 0;
    for (uint64_t done = 0; done < size; done += record_size, records++) {
        uint64_t n = std::min(record_size, size - done);
        srec_line(out, data_type, width, address + done, image + done, static_cast<size_t>(n));
    }
    // The count of data records: 16 bits in S5, 24 in S6; a larger count goes unwritten, which readers allow.
    if (records <= 0xffffff)
        srec_line(out, records <= 0xffff ? '5' : '6', records <= 0xffff ? 2 : 3, records, nullptr, 0);
    srec_line(out, end_type, width, entry, nullptr, 0);
}

int imgfmt_encode(const context *ctx, const kelpx_handle *elf, uint64_t entry, std::string *out) {
    try {
        switch (static_cast<imgfmt_format>(ctx->output_format)) {
        case imgfmt_format::ihex: imgfmt_ihex(ctx->vspace, ctx->image_size, ctx->address, entry, out); break;
        case imgfmt_format::srec:
            imgfmt_srec(ctx->vspace, ctx->image_size, ctx->address, entry, ctx->input_path, out);
            break;
        case imgfmt_format::elf: encode_elf(ctx, elf, entry, out); break;
        case imgfmt_format::binary: out->assign(reinterpret_cast<const char *>(ctx->vspace), ctx->image_size); break;
        }
    } catch (const std::bad_alloc &) {
        fprintf(stderr, "ERROR: Could not allocate output space: %s\n", strerror(ENOMEM));
        return -1;
    }
    return 0;
}
