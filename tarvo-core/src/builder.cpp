#include "builder.hpp"

#include <algorithm>
#include <functional>
#include <utility>

#include "residue_tables.hpp"  // find_residue_code, three_letter_code
#include "utf8.hpp"  // next_char, append_utf8

namespace tarvo {

namespace {

// The atom-name table of the open residue.

constexpr std::uint64_t kSlotIndexMask = 0xFFFFFFFFULL;

std::uint64_t slot_value(std::uint32_t generation, std::size_t index) {
  return (std::uint64_t{generation} << 32) | index;
}

// Atom names are short: up to eight bytes are packed into one word and mixed
// (the finaliser of MurmurHash3), cheaper than hashing them as a byte string.
std::size_t name_hash(std::string_view name) {
  if (name.size() > 8) return std::hash<std::string_view>{}(name);
  std::uint64_t h = name.size();
  for (char c : name) h = (h << 8) | static_cast<unsigned char>(c);
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDULL;
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53ULL;
  return h ^ (h >> 33);
}

void rebuild_name_slots(Builder& b, const Residue& residue, std::size_t capacity) {
  b.name_slots.assign(capacity, 0);
  const std::size_t mask = capacity - 1;
  for (std::size_t index = 0; index < residue.atoms.size(); ++index) {
    std::size_t slot = name_hash(residue.atoms[index].name) & mask;
    while (b.name_slots[slot] >> 32 == b.name_generation) slot = (slot + 1) & mask;
    b.name_slots[slot] = slot_value(b.name_generation, index);
  }
}

// The record into the atom; its name is set apart, once.
void copy_all_but_name(Atom& kept, const AtomFields& atom) {
  kept.element = atom.element;
  kept.alt_loc = atom.alt_loc;
  kept.x = atom.x;
  kept.y = atom.y;
  kept.z = atom.z;
}

}  // namespace

bool Builder::init_model() {
  const std::size_t index = models++;
  keeps_atoms = index == wanted_model;
  chain_cursor.reset();
  residue_cursor.reset();
  return index <= wanted_model;
}

void Builder::init_chain(std::string_view chain_id) {
  if (!keeps_atoms) throw InternalError("model open");
  auto [it, inserted] = model.chain_index.try_emplace(std::string(chain_id), model.chains.size());
  if (inserted) model.chains.push_back(Chain{std::string(chain_id), {}, {}, std::nullopt});
  chain_cursor = it->second;
  residue_cursor.reset();
}

void Builder::init_residue(std::string_view name, char32_t het, std::int64_t number,
                           char32_t insertion_code) {
  Chain& open = chain();
  open.residues.push_back(Residue{std::string(name), {}, {}, number, het, insertion_code});
  residue_cursor = open.residues.size() - 1;
  occupancies.clear();
  if (++name_generation == 0) {  // stamps wrapped: forget every old slot
    std::fill(name_slots.begin(), name_slots.end(), 0);
    name_generation = 1;
  }
}

void Builder::init_atom(const AtomFields& atom, double occupancy) {
  Residue& open = residue();
  // Keep the table at most half full.
  if (name_slots.size() < 2 * (open.atoms.size() + 1))
    rebuild_name_slots(*this, open, std::max<std::size_t>(64, 2 * name_slots.size()));
  const std::size_t mask = name_slots.size() - 1;
  for (std::size_t slot = name_hash(atom.name) & mask;; slot = (slot + 1) & mask) {
    const std::uint64_t value = name_slots[slot];
    if (value >> 32 != name_generation) {
      name_slots[slot] = slot_value(name_generation, open.atoms.size());
      Atom& added = open.atoms.emplace_back();
      added.name.assign(atom.name);
      copy_all_but_name(added, atom);
      occupancies.push_back(occupancy);
      return;
    }
    const std::size_t index = value & kSlotIndexMask;
    if (open.atoms[index].name == atom.name) {
      if (atom.alt_loc != U' ' && occupancy > occupancies[index]) {
        copy_all_but_name(open.atoms[index], atom);  // the name is the same
        occupancies[index] = occupancy;
      }
      return;
    }
  }
}

void Builder::close_chain() {
  chain_cursor.reset();
  residue_cursor.reset();
}

Result<Structure> Builder::finish() && {
  if (wanted_model >= models) return fail(err::ModelIndexOutOfRange{wanted_model, models});
  Structure structure;
  structure.chains.reserve(model.chains.size());
  for (Chain& c : model.chains) {
    std::string key = c.id;
    structure.chains.insert_or_assign(std::move(key), std::move(c));
  }
  return structure;
}

namespace {

std::string utf8(char32_t c) {
  std::string out;
  append_utf8(out, c);
  return out;
}

}  // namespace

void set_residue_sequence(Builder& builder, char32_t het, std::string_view name) {
  Chain& chain = builder.chain();
  Residue& residue = builder.residue();
  if (het != U' ') {
    residue.code.clear();
    chain.sequence = name;
    chain.het_name = std::string(name);
    return;
  }
  std::size_t count = 0;
  char32_t last = 0;
  for (std::size_t pos = 0; pos < name.size() && count < 4; ++count) last = next_char(name, pos);
  // One symbol per residue, whatever the name: alignment hands out residues
  // symbol by symbol. Names of four or more characters (the five-character
  // chemical component codes) and empty names have no code of their own.
  if (count == 1 || count == 2)
    residue.code = utf8(last);
  else if (count == 3)
    residue.code = three_letter_code(name);
  else
    residue.code.assign(1, 'X');
  chain.sequence += residue.code;
}

namespace {

// Equal texts, compared inline: ids and residue names are a few bytes, too
// short for a library call to pay off once per atom.
bool same_text(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i]) return false;
  return true;
}

bool same_residue(const Residue& r, char32_t het, std::int64_t number, char32_t insertion_code,
                  std::string_view name) {
  return r.het == het && r.number == number && r.insertion_code == insertion_code && same_text(r.name, name);
}

}  // namespace

void add_atom(Builder& b, std::string_view chain_id, std::string_view residue_name, char32_t het,
              std::int64_t number, char32_t insertion_code, const AtomFields& atom, double occupancy) {
  if (!b.chain_cursor || !same_text(b.chain().id, chain_id)) {
    b.init_chain(chain_id);
  }
  if (!b.residue_cursor || !same_residue(b.residue(), het, number, insertion_code, residue_name)) {
    b.init_residue(residue_name, het, number, insertion_code);
    set_residue_sequence(b, het, residue_name);
    if (const ResidueCode* entry = find_residue_code(residue_name))
      b.residue().atoms.reserve(entry->heavy_atoms);
  }
  b.init_atom(atom, occupancy);
}

bool listed(std::span<const std::string> chains, std::string_view id) {
  return chains.empty() || std::find(chains.begin(), chains.end(), id) != chains.end();
}

}  // namespace tarvo
