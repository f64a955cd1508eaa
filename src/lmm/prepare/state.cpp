// The pickled state of a prepared design: its products, shift and fingerprints in a
// versioned byte layout, and reading them back with every size checked.
#include "lmm/prepare/state.hpp"

#include <bit>
#include <cmath>
#include <cstring>

namespace qk {

namespace {

constexpr std::string_view kMagic = "quorvelkit.LmmCore";

static_assert(std::endian::native == std::endian::little, "the state is written in little-endian order");

struct Writer {
  std::string out;
  template <class T>
  void put(T v) {
    out.append(reinterpret_cast<const char*>(&v), sizeof v);
  }
  void put_text(std::string_view s) {
    put<std::uint64_t>(s.size());
    out.append(s);
  }
  void put_vec(const std::vector<double>& v) {
    put<std::uint64_t>(v.size());
    out.append(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(double));
  }
};

// Reads fields in order; a read past the end (or a length that does not fit) sets
// `bad` and yields zeros.
struct Reader {
  std::string_view in;
  bool bad = false;
  template <class T>
  T get() {
    T v{};
    if (in.size() < sizeof v) {
      bad = true;
      return v;
    }
    std::memcpy(&v, in.data(), sizeof v);
    in.remove_prefix(sizeof v);
    return v;
  }
  std::string_view get_text() {
    const std::uint64_t len = get<std::uint64_t>();
    if (bad || len > in.size()) {
      bad = true;
      return {};
    }
    std::string_view s = in.substr(0, len);
    in.remove_prefix(len);
    return s;
  }
  // A vector that must hold exactly `expected` doubles.
  std::vector<double> get_vec(std::uint64_t expected) {
    const std::uint64_t len = get<std::uint64_t>();
    if (bad || len != expected || len > in.size() / sizeof(double)) {
      bad = true;
      return {};
    }
    std::vector<double> v(len);
    std::memcpy(v.data(), in.data(), len * sizeof(double));
    in.remove_prefix(len * sizeof(double));
    return v;
  }
};

}  // namespace

std::string encode_state(const LmmData& d, std::string_view version) {
  Writer w;
  w.put_text(kMagic);
  w.put<std::uint32_t>(kStateFormat);
  w.put_text(version);
  for (std::uint64_t v : {d.n, d.p, d.q, d.m}) w.put(v);
  w.put<std::uint8_t>(d.evaluator);
  w.put<std::uint8_t>(d.exact_fit);
  w.put<std::uint8_t>(d.rows_known);
  for (std::uint64_t v : {d.codes_fingerprint, d.x_fingerprint, d.z_fingerprint}) w.put(v);
  w.put<std::int64_t>(d.shift.column);
  w.put(d.shift.value);
  w.put(d.shift.y);
  w.put_vec(d.shift.x);
  w.put(d.yty);
  w.put_vec(d.xtx);
  w.put_vec(d.xty);
  w.put_vec(d.ztz);
  w.put_vec(d.ztx);
  w.put_vec(d.zty);
  w.put<std::uint64_t>(d.blocks.size());
  for (std::uint64_t b : d.blocks) w.put(b);
  w.put<std::uint8_t>(d.weighted);
  w.put(d.log_weights);
  w.put(d.w_fingerprint);
  return std::move(w.out);
}

std::variant<std::unique_ptr<LmmData>, std::string> decode_state(std::string_view bytes,
                                                                 std::string_view version) {
  Reader r{bytes};
  const std::string corrupt = "the LmmCore state is not a whole state written by quorvelkit";
  if (r.get_text() != kMagic || r.bad) return corrupt;
  const std::uint32_t format = r.get<std::uint32_t>();
  const std::string_view written_by = r.get_text();
  if (r.bad) return corrupt;
  if (format != kStateFormat || written_by != version)
    return "this LmmCore was pickled by quorvelkit " + std::string(written_by) + " (state format " +
           std::to_string(format) + "); quorvelkit " + std::string(version) + " (state format " +
           std::to_string(kStateFormat) + ") cannot read it: build the core (or fit the model) again "
           "from the data";
  auto d = std::make_unique<LmmData>();
  d->n = r.get<std::uint64_t>();
  d->p = r.get<std::uint64_t>();
  d->q = r.get<std::uint64_t>();
  d->m = r.get<std::uint64_t>();
  const std::uint8_t evaluator = r.get<std::uint8_t>();
  const std::uint8_t exact_fit = r.get<std::uint8_t>();
  const std::uint8_t rows_known = r.get<std::uint8_t>();
  d->codes_fingerprint = r.get<std::uint64_t>();
  d->x_fingerprint = r.get<std::uint64_t>();
  d->z_fingerprint = r.get<std::uint64_t>();
  d->shift.column = r.get<std::int64_t>();
  d->shift.value = r.get<double>();
  d->shift.y = r.get<double>();
  const std::uint64_t p = d->p, q = d->q, m = d->m;
  // Sizes are checked against the bytes before anything of their size is allocated.
  auto fits = [&](std::uint64_t a, std::uint64_t b, std::uint64_t& out) {
    return !__builtin_mul_overflow(a, b, &out) && out <= bytes.size() / sizeof(double);
  };
  std::uint64_t pp, mq, mqq, mqp;
  if (r.bad || p == 0 || q == 0 || m == 0 || d->n == 0 || !fits(p, p, pp) || !fits(m, q, mq) ||
      !fits(mq, q, mqq) || !fits(mq, p, mqp) || evaluator > kAggregated || exact_fit > 1 || rows_known > 1 ||
      d->shift.column < -1 || d->shift.column >= static_cast<std::int64_t>(p))
    return corrupt;
  d->shift.x = r.get_vec(p);
  d->yty = r.get<double>();
  d->xtx = r.get_vec(pp);
  d->xty = r.get_vec(p);
  d->ztz = r.get_vec(mqq);
  d->ztx = r.get_vec(mqp);
  d->zty = r.get_vec(mq);
  const std::uint64_t n_blocks = r.get<std::uint64_t>();
  if (r.bad || n_blocks == 0 || n_blocks > q) return corrupt;
  for (std::uint64_t i = 0; i < n_blocks; ++i) d->blocks.push_back(r.get<std::uint64_t>());
  const std::uint8_t weighted = r.get<std::uint8_t>();
  d->log_weights = r.get<double>();
  d->w_fingerprint = r.get<std::uint64_t>();
  if (r.bad || !r.in.empty() || blocks_error(d->blocks, q) || weighted > 1 || !std::isfinite(d->log_weights) ||
      (!weighted && (d->log_weights != 0.0 || d->w_fingerprint != 0)))
    return corrupt;
  d->weighted = weighted != 0;
  d->evaluator = static_cast<Evaluator>(evaluator);
  d->exact_fit = exact_fit != 0;
  d->rows_known = rows_known != 0;
  d->theta_index = theta_index(q, d->blocks);
  if (evaluator == kAggregated)
    d->classes = Classes::build(q, p, m, d->ztz, d->ztx, d->zty, kUnlimitedClasses);
  return d;
}

}  // namespace qk
