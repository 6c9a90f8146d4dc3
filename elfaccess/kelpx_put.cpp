// Encoders for the records that a writer of an ELF file needs, in the class and byte order of a loaded
// handle, so that a file written from an input is of the input's kind. The layouts are the decoders'.
#include "kelpx.h"
#include "kelpx_layout.h"

namespace {

using kelpx_layout::field;

const kelpx_layout::class_layout &layout_of(const kelpx_handle *elf) {
    return kelpx_layout::layouts[elf->elfclass == 1 ? 0 : 1];
}

void put(uint8_t *record, field f, uint64_t value, int msb) {
    kelpbase_put_word(record + f.off, f.width, value, msb);
}

}  // namespace

uint32_t kelpx_get_sizeof_Ehdr(const kelpx_handle *elf) {
    return layout_of(elf).ehdr.size;
}

uint32_t kelpx_get_sizeof_Phdr(const kelpx_handle *elf) {
    return layout_of(elf).phdr.size;
}

uint32_t kelpx_get_sizeof_Shdr(const kelpx_handle *elf) {
    return layout_of(elf).shdr.size;
}

void kelpx_put_ehdr(const kelpx_handle *elf, uint8_t *p, const kelpx_ehdr *e) {
    const auto &l = layout_of(elf).ehdr;
    const int msb = elf->msb;
    // e_ident: magic, class, byte order and version as the input has them; OS ABI and its version too,
    // as they qualify e_flags on some machines.
    const uint8_t ident[9] = {0x7f, 'E', 'L', 'F', elf->elfclass, static_cast<uint8_t>(msb ? 2 : 1), 1,
                              elf->file.size() > 8 ? elf->file[7] : uint8_t{0}, elf->file.size() > 8 ? elf->file[8] : uint8_t{0}};
    for (unsigned i = 0; i < kelpx_ident_size; i++)
        p[i] = i < sizeof ident ? ident[i] : 0;
    put(p, l.e_type, e->e_type, msb);
    put(p, l.e_machine, e->e_machine, msb);
    put(p, l.e_version, e->e_version, msb);
    put(p, l.e_entry, e->e_entry, msb);
    put(p, l.e_phoff, e->e_phoff, msb);
    put(p, l.e_shoff, e->e_shoff, msb);
    put(p, l.e_flags, e->e_flags, msb);
    put(p, l.e_ehsize, e->e_ehsize, msb);
    put(p, l.e_phentsize, e->e_phentsize, msb);
    put(p, l.e_phnum, e->e_phnum, msb);
    put(p, l.e_shentsize, e->e_shentsize, msb);
    put(p, l.e_shnum, e->e_shnum, msb);
    put(p, l.e_shstrndx, e->e_shstrndx, msb);
}

void kelpx_put_program(const kelpx_handle *elf, uint8_t *p, const kelpx_program *ph) {
    const auto &l = layout_of(elf).phdr;
    const int msb = elf->msb;
    put(p, l.p_type, ph->p_type, msb);
    put(p, l.p_flags, ph->p_flags, msb);
    put(p, l.p_offset, ph->p_offset, msb);
    put(p, l.p_vaddr, ph->p_vaddr, msb);
    put(p, l.p_paddr, ph->p_paddr, msb);
    put(p, l.p_filesz, ph->p_filesz, msb);
    put(p, l.p_memsz, ph->p_memsz, msb);
    put(p, l.p_align, ph->p_align, msb);
}

void kelpx_put_section(const kelpx_handle *elf, uint8_t *p, const kelpx_section *sh) {
    const auto &l = layout_of(elf).shdr;
    const int msb = elf->msb;
    put(p, l.sh_name, sh->sh_name, msb);
    put(p, l.sh_type, sh->sh_type, msb);
    put(p, l.sh_flags, sh->sh_flags, msb);
    put(p, l.sh_addr, sh->sh_addr, msb);
    put(p, l.sh_offset, sh->sh_offset, msb);
    put(p, l.sh_size, sh->sh_size, msb);
    put(p, l.sh_link, sh->sh_link, msb);
    put(p, l.sh_info, sh->sh_info, msb);
    put(p, l.sh_addralign, sh->sh_addralign, msb);
    put(p, l.sh_entsize, sh->sh_entsize, msb);
}

void kelpx_put_sym(const kelpx_handle *elf, uint8_t *p, const kelpx_sym *sym) {
    const auto &l = layout_of(elf).sym;
    const int msb = elf->msb;
    put(p, l.st_name, sym->st_name, msb);
    put(p, l.st_info, sym->st_info, msb);
    put(p, l.st_other, sym->st_other, msb);
    put(p, l.st_shndx, sym->st_shndx, msb);
    put(p, l.st_value, sym->st_value, msb);
    put(p, l.st_size, sym->st_size, msb);
}
