// The layout of the blocked factor and its numeric factorisation.
#include "lmm/crossed/factor.hpp"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <utility>

#include "linalg/dense.hpp"
#include "linalg/lapack.hpp"
#include "pool/pool.hpp"

namespace qk::crossed {

bool nested_in(const Products& pr, std::size_t i, std::size_t j) {
  const CrossBlock& cb = pr.cross[pair_index(i, j, pr.m.size())];
  for (std::size_t s = 1; s < cb.keys.size(); ++s)
    if (cb.keys[s] / pr.m[j] == cb.keys[s - 1] / pr.m[j]) return false;
  return true;
}

Layout layout_of(const Products& pr) {
  Layout lay;
  const std::size_t k = pr.m.size();
  lay.k = k;
  lay.diagonal = 1;
  for (std::size_t j = 1; j < k; ++j) {
    bool all = true;
    for (std::size_t i = 0; i < j && all; ++i) all = nested_in(pr, i, j);
    if (!all) break;
    lay.diagonal = j + 1;
  }
  lay.offset.assign(k + 1, 0);
  for (std::size_t j = 0; j < k; ++j) lay.offset[j + 1] = lay.offset[j] + pr.m[j] * pr.q[j];
  const std::uint64_t big_q = lay.offset[k];
  lay.dense_z = big_q - lay.offset[lay.diagonal];
  lay.col_ptr.resize(lay.diagonal);
  lay.rows.resize(lay.diagonal);
  for (std::size_t i = 0; i < lay.diagonal; ++i) {
    std::vector<std::size_t> at(k, 0);  // cursor into each cross block (i, j)
    std::vector<PairLevels> levels;
    for (std::size_t j = 0; j < k; ++j) levels.emplace_back(pr.m[j]);
    std::vector<std::uint64_t>& rows = lay.rows[i];
    std::size_t total = pr.m[i] * (pr.p + 1);
    for (std::size_t j = i + 1; j < k; ++j) total += pr.cross[pair_index(i, j, k)].keys.size() * pr.q[j];
    rows.reserve(total);
    lay.col_ptr[i].reserve(pr.m[i] + 1);
    lay.col_ptr[i].push_back(0);
    for (std::uint64_t l = 0; l < pr.m[i]; ++l) {
      for (std::size_t j = i + 1; j < k; ++j) {
        const CrossBlock& cb = pr.cross[pair_index(i, j, k)];
        std::size_t& s = at[j];
        for (; s < cb.keys.size(); ++s) {
          std::uint64_t li = 0, lj = 0;
          levels[j].at(cb.keys[s], li, lj);
          if (li != l) break;
          const std::uint64_t base = lay.offset[j] + lj * pr.q[j];
          for (std::uint64_t c = 0; c < pr.q[j]; ++c) rows.push_back(base + c);
        }
      }
      for (std::uint64_t x = 0; x <= pr.p; ++x) rows.push_back(big_q + x);
      lay.col_ptr[i].push_back(rows.size());
    }
  }
  lay.cross_pos.resize(pair_index(k - 1, k, k) + 1);
  for (std::size_t i = 0; i < lay.diagonal; ++i)
    for (std::size_t j = i + 1; j < k; ++j) {
      const CrossBlock& cb = pr.cross[pair_index(i, j, k)];
      std::vector<std::uint64_t>& pos = lay.cross_pos[pair_index(i, j, k)];
      pos.resize(cb.keys.size());
      PairLevels levels(pr.m[j]);
      for (std::size_t s = 0; s < cb.keys.size(); ++s) {
        std::uint64_t li = 0, lj = 0;
        levels.at(cb.keys[s], li, lj);
        const std::uint64_t gj = lay.offset[j] + lj * pr.q[j];
        const auto b = lay.rows[i].begin() + static_cast<std::ptrdiff_t>(lay.col_ptr[i][li]);
        const auto e = lay.rows[i].begin() + static_cast<std::ptrdiff_t>(lay.col_ptr[i][li + 1]);
        pos[s] = static_cast<std::uint64_t>(std::lower_bound(b, e, gj) - lay.rows[i].begin());
      }
    }
  // The transposed dense pattern, by counting sort over the dense rows.
  const std::uint64_t off_d = lay.offset[lay.diagonal], nt = lay.dense_z + pr.p + 1;
  lay.dense_at.resize(lay.diagonal);
  for (std::size_t i = 0; i < lay.diagonal; ++i) {
    lay.dense_at[i].reserve(lay.rows[i].size());
    for (std::uint64_t g : lay.rows[i])
      lay.dense_at[i].push_back(g >= off_d ? static_cast<std::uint32_t>(g - off_d) : 0);
  }
  lay.tr_ptr.assign(nt + 1, 0);
  for (int pass = 0; pass < 2; ++pass) {
    std::vector<std::uint64_t> at(lay.tr_ptr.begin(), lay.tr_ptr.end() - 1);
    for (std::size_t i = 0; i < lay.diagonal; ++i) {
      const auto& rows = lay.rows[i];
      for (std::uint64_t l = 0; l < pr.m[i]; ++l) {
        const std::uint64_t b = lay.col_ptr[i][l], e = lay.col_ptr[i][l + 1];
        const std::uint64_t bd = static_cast<std::uint64_t>(
            std::lower_bound(rows.begin() + static_cast<std::ptrdiff_t>(b),
                             rows.begin() + static_cast<std::ptrdiff_t>(e), off_d) - rows.begin());
        for (std::uint64_t pa = bd; pa < e; ++pa) {
          const std::uint64_t a = rows[pa] - off_d;
          if (pass == 0) {
            ++lay.tr_ptr[a + 1];
          } else {
            const std::uint64_t slot = at[a]++;
            lay.tr_pos[slot] = pa;
            lay.tr_first[slot] = bd;
            lay.tr_factor[slot] = static_cast<std::uint32_t>(i);
          }
        }
      }
    }
    if (pass == 0) {
      for (std::uint64_t a = 0; a < nt; ++a) lay.tr_ptr[a + 1] += lay.tr_ptr[a];
      lay.tr_pos.resize(lay.tr_ptr[nt]);
      lay.tr_first.resize(lay.tr_ptr[nt]);
      lay.tr_factor.resize(lay.tr_ptr[nt]);
    }
  }
  return lay;
}

RowPlace place_of(const Design& d, std::uint64_t g) {
  const auto& off = d.layout.offset;
  const std::size_t f = static_cast<std::size_t>(std::upper_bound(off.begin(), off.end(), g) - off.begin()) - 1;
  const std::uint64_t q = d.pr.q[f];
  return {f, (g - off[f]) / q, (g - off[f]) % q};
}

namespace {

// out (q_k x q_i) <- Lk' B' Li with B the q_i x q_k block Z_i'WZ_k; t is scratch.
void lt_bt_l(const double* lk, std::size_t qk, const double* b, const double* li, std::size_t qi, double* out,
             std::vector<double>& t) {
  t.assign(qk * qi, 0.0);  // B' Li
  for (std::size_t r = 0; r < qk; ++r)
    for (std::size_t c = 0; c < qi; ++c) {
      double s = 0.0;
      for (std::size_t a = 0; a < qi; ++a) s = s + b[a * qk + r] * li[a * qi + c];
      t[r * qi + c] = s;
    }
  mat_tmul(lk, t.data(), out, qk, qk, qi);
}

}  // namespace

void recycle(Factor& f, Scratch& scratch) { scratch.dense = std::move(f.dense); }

namespace {
std::mutex spare_mutex;
Scratch spare;
}  // namespace

Scratch take_scratch() {
  std::lock_guard<std::mutex> lock(spare_mutex);
  return std::exchange(spare, Scratch{});
}

void keep_scratch(Scratch&& scratch) {
  const std::size_t bytes = (scratch.dense.capacity() + scratch.inverse.capacity()) * sizeof(double);
  if (bytes > kSpareBytes) return;
  std::lock_guard<std::mutex> lock(spare_mutex);
  const std::size_t held = (spare.dense.capacity() + spare.inverse.capacity()) * sizeof(double);
  if (bytes >= held) spare = std::move(scratch);
}

std::optional<Factor> factorize(const Design& d, const std::vector<double>& theta, bool reml, Scratch* scratch) {
  const Products& pr = d.pr;
  const Layout& lay = d.layout;
  const std::size_t k = lay.k, dg = lay.diagonal, p = pr.p;
  const std::uint64_t off_d = lay.offset[dg];
  Factor f;
  for (std::size_t j = 0; j < k; ++j) f.lambda.push_back(lambda_of(d, theta, j));
  f.dz = lay.dense_z;
  f.nt = f.dz + p + 1;
  const std::size_t nt = f.nt;
  if (scratch) f.dense = std::move(scratch->dense);
  // Only the lower triangle is ever written or read (by LAPACK and below): the rest of
  // a reused array is left as it was.
  resize_block(f.dense, nt, nt, "the crossed design's dense block");
  double* t = f.dense.data();
  for_chunks(plan_chunks(nt, nt / 2 + 1), [&](std::uint64_t, std::uint64_t rb, std::uint64_t re) {
    for (std::uint64_t a = rb; a < re; ++a) std::fill(t + a * nt, t + a * nt + a + 1, 0.0);
  });
  std::vector<double> tmp;
  // Lambda'Z'WZ Lambda + I on every factor's level blocks.
  f.diag.resize(dg);
  for (std::size_t j = 0; j < k; ++j) {
    const std::uint64_t q = pr.q[j];
    std::vector<double> blk(q * q), tq(q * q), zx(q * (p + 1));
    for (std::uint64_t l = 0; l < pr.m[j]; ++l) {
      mat_mul(&pr.ztz[j][l * q * q], f.lambda[j].data(), tq.data(), q, q, q);
      mat_tmul(f.lambda[j].data(), tq.data(), blk.data(), q, q, q);
      for (std::size_t a = 0; a < q; ++a) blk[a * q + a] = blk[a * q + a] + 1.0;
      if (j < dg) {
        f.diag[j].insert(f.diag[j].end(), blk.begin(), blk.end());
      } else {
        const std::uint64_t g0 = lay.offset[j] + l * q - off_d;
        for (std::size_t a = 0; a < q; ++a)
          for (std::size_t c = 0; c <= a; ++c) t[(g0 + a) * nt + g0 + c] = blk[a * q + c];
      }
      // Lambda'Z'WX and Lambda'Z'Wy: rows X and y of the level's column.
      for (std::size_t a = 0; a < q; ++a) {
        for (std::size_t x = 0; x < p; ++x) {
          double s = 0.0;
          for (std::size_t c = 0; c < q; ++c) s = s + pr.ztx[j][(l * q + c) * p + x] * f.lambda[j][c * q + a];
          zx[a * (p + 1) + x] = s;
        }
        double s = 0.0;
        for (std::size_t c = 0; c < q; ++c) s = s + pr.zty[j][l * q + c] * f.lambda[j][c * q + a];
        zx[a * (p + 1) + p] = s;
      }
      if (j < dg) {
        if (l == 0) f.col.emplace_back(lay.rows[j].size() * q, 0.0);
        const std::uint64_t end = lay.col_ptr[j][l + 1];
        for (std::size_t x = 0; x <= p; ++x)
          for (std::size_t a = 0; a < q; ++a) f.col[j][(end - (p + 1) + x) * q + a] = zx[a * (p + 1) + x];
      } else {
        const std::uint64_t g0 = lay.offset[j] + l * q - off_d;
        for (std::size_t x = 0; x <= p; ++x)
          for (std::size_t a = 0; a < q; ++a) t[(f.dz + x) * nt + g0 + a] = zx[a * (p + 1) + x];
      }
    }
  }
  for (std::size_t a = 0; a < p; ++a) {
    for (std::size_t c = 0; c <= a; ++c) t[(f.dz + a) * nt + f.dz + c] = pr.xtx[a * p + c];
    t[(f.dz + p) * nt + f.dz + a] = pr.xty[a];
  }
  t[(f.dz + p) * nt + f.dz + p] = pr.yty;
  // Lambda_j'Z_j'WZ_i Lambda_i between factors i < j.
  for (std::size_t i = 0; i + 1 < k; ++i)
    for (std::size_t j = i + 1; j < k; ++j) {
      const CrossBlock& cb = pr.cross[pair_index(i, j, k)];
      const std::uint64_t qi = pr.q[i], qj = pr.q[j];
      std::vector<double> blk(qj * qi);
      const bool scalar = qi == 1 && qj == 1;  // lt_bt_l's products, without its loops
      const double lam_i = f.lambda[i][0], lam_j = f.lambda[j][0];
      const std::vector<std::uint64_t>* cross_pos = i < dg ? &lay.cross_pos[pair_index(i, j, k)] : nullptr;
      if (cross_pos && scalar) {
        double* col = f.col[i].data();
        for (std::size_t s = 0; s < cb.keys.size(); ++s) col[(*cross_pos)[s]] = lam_j * (cb.values[s] * lam_i);
        continue;
      }
      PairLevels levels(pr.m[j]);
      for (std::size_t s = 0; s < cb.keys.size(); ++s) {
        if (scalar) blk[0] = lam_j * (cb.values[s] * lam_i);
        else lt_bt_l(f.lambda[j].data(), qj, &cb.values[s * qi * qj], f.lambda[i].data(), qi, blk.data(), tmp);
        if (cross_pos) {
          const std::uint64_t pos = (*cross_pos)[s];
          for (std::size_t a = 0; a < qj; ++a)
            for (std::size_t c = 0; c < qi; ++c) f.col[i][(pos + a) * qi + c] = blk[a * qi + c];
        } else {
          std::uint64_t li = 0, lj = 0;
          levels.at(cb.keys[s], li, lj);
          const std::uint64_t gi = lay.offset[i] + li * qi - off_d, gj = lay.offset[j] + lj * qj - off_d;
          for (std::size_t a = 0; a < qj; ++a)
            for (std::size_t c = 0; c < qi; ++c) t[(gj + a) * nt + gi + c] = blk[a * qi + c];
        }
      }
    }
  // Right-looking elimination of the block-diagonal columns, in order.
  f.ldl2 = 0.0;
  double ld_diag = 0.0;
  for (std::size_t i = 0; i < dg; ++i) {
    const std::uint64_t q = pr.q[i];
    const auto& rows = lay.rows[i];
    for (std::uint64_t l = 0; l < pr.m[i]; ++l) {
      double* lii = &f.diag[i][l * q * q];
      if (!cholesky_in_place(lii, q)) return std::nullopt;
      ld_diag = ld_diag + log_det(lii, q);
      const std::uint64_t b = lay.col_ptr[i][l], e = lay.col_ptr[i][l + 1];
      double* cv = f.col[i].data();
      if (q == 1) {
        const double inv = 1.0 / lii[0];
        for (std::uint64_t r = b; r < e; ++r) cv[r] = cv[r] * inv;  // forward_solve's arithmetic
      } else {
        for (std::uint64_t r = b; r < e; ++r) forward_solve(lii, q, cv + r * q, 1);
      }
      // Rows of the dense block form the tail [bd, e) of the column; their update of
      // the dense block is made below, row by row.
      const std::uint64_t bd = static_cast<std::uint64_t>(
          std::lower_bound(rows.begin() + static_cast<std::ptrdiff_t>(b), rows.begin() + static_cast<std::ptrdiff_t>(e),
                           off_d) - rows.begin());
      for (std::uint64_t pa = b; pa < e; ++pa) {
        const std::uint64_t ga = rows[pa];
        for (std::uint64_t pb = b; pb <= pa && pb < bd; ++pb) {
          const std::uint64_t gb = rows[pb];
          double v = 0.0;
          for (std::size_t c = 0; c < q; ++c) v = v + cv[pa * q + c] * cv[pb * q + c];
          const RowPlace pl = place_of(d, gb);
          const std::uint64_t qb = pr.q[pl.factor], base = lay.offset[pl.factor] + pl.level * qb;
          if (ga < base + qb) {
            double& x = f.diag[pl.factor][pl.level * qb * qb + (ga - base) * qb + pl.comp];
            x = x - v;
          } else {
            const auto& rb = lay.rows[pl.factor];
            const auto s = rb.begin() + static_cast<std::ptrdiff_t>(lay.col_ptr[pl.factor][pl.level]);
            const auto en = rb.begin() + static_cast<std::ptrdiff_t>(lay.col_ptr[pl.factor][pl.level + 1]);
            const std::size_t pos = static_cast<std::size_t>(std::lower_bound(s, en, ga) - rb.begin());
            double& x = f.col[pl.factor][pos * qb + pl.comp];
            x = x - v;
          }
        }
      }
    }
  }
  // The block-diagonal columns' rank-q updates of the dense block, t -= sum c c', one
  // dense row at a time: a row takes its updates in the order of the columns, as a
  // column-by-column elimination would give them, and rows are independent, so they
  // run on the pool; the row being updated stays in cache.
  const ChunkPlan plan = plan_chunks(nt, lay.tr_ptr[nt] / (nt ? nt : 1) * 64 + 1);
  for_chunks(plan, [&](std::uint64_t, std::uint64_t rb, std::uint64_t re) {
    for (std::uint64_t a = rb; a < re; ++a) {
      double* ta = t + a * nt;
      for (std::uint64_t s = lay.tr_ptr[a]; s < lay.tr_ptr[a + 1]; ++s) {
        const std::size_t i = lay.tr_factor[s];
        const std::uint64_t q = pr.q[i], pa = lay.tr_pos[s];
        const std::uint32_t* at = lay.dense_at[i].data();
        const double* cv = f.col[i].data();
        if (s + 1 < lay.tr_ptr[a + 1]) {
          // The next column's entries are elsewhere in memory: fetched while this one's
          // are applied (a row's updates otherwise wait on a cache miss per column).
          const std::size_t in = lay.tr_factor[s + 1];
          __builtin_prefetch(lay.dense_at[in].data() + lay.tr_first[s + 1]);
          __builtin_prefetch(f.col[in].data() + lay.tr_first[s + 1] * pr.q[in]);
        }
        const double* ca = cv + pa * q;
        if (q == 1) {
          const double a0 = ca[0];
          const std::uint64_t first = lay.tr_first[s];
          if (at[pa] - at[first] == pa - first) {
            // The column's dense rows up to a are consecutive (a factor crossed with every
            // level of the dense ones): the same updates, over contiguous memory.
            double* tb = ta + at[first];
            const double* cb = cv + first;
            for (std::uint64_t i = 0; i <= pa - first; ++i) tb[i] = tb[i] - a0 * cb[i];
          } else {
            for (std::uint64_t pb = first; pb <= pa; ++pb) ta[at[pb]] = ta[at[pb]] - a0 * cv[pb];
          }
        } else {
          for (std::uint64_t pb = lay.tr_first[s]; pb <= pa; ++pb) {
            double v = 0.0;
            for (std::size_t c = 0; c < q; ++c) v = v + ca[c] * cv[pb * q + c];
            ta[at[pb]] = ta[at[pb]] - v;
          }
        }
      }
    }
  });
  // The dense trailing block: its factors, then the Schur complement of [X y].
  if (!lapack::cholesky(t, f.dz, nt)) return std::nullopt;
  double ld_dense = 0.0;
  for (std::size_t a = 0; a < f.dz; ++a) ld_dense = ld_dense + std::log(t[a * nt + a]);
  lapack::solve_right_transposed(t, f.dz, nt, t + f.dz * nt, p + 1, nt);
  lapack::subtract_gram(t + f.dz * nt, p + 1, f.dz, nt, t + f.dz * nt + f.dz, nt);
  f.ldl2 = ld_diag + (ld_dense + ld_dense);
  std::vector<double> m(p * p), r(p);
  for (std::size_t a = 0; a < p; ++a) {
    for (std::size_t c = 0; c <= a; ++c) m[a * p + c] = m[c * p + a] = t[(f.dz + a) * nt + f.dz + c];
    r[a] = t[(f.dz + p) * nt + f.dz + a];
  }
  if (!std::isfinite(f.ldl2)) return std::nullopt;
  auto prof = profile(d.shell, std::move(m), std::move(r), reml, t[(f.dz + p) * nt + f.dz + p], f.ldl2);
  if (!prof) return std::nullopt;
  f.prof = std::move(*prof);
  // R_X in place of the Schur complement it factors, which nothing reads again: the
  // block's first dz + p rows are then the factor of the system over [Z X] as it stands.
  for (std::size_t a = 0; a < p; ++a)
    std::copy(&f.prof.rx[a * p], &f.prof.rx[a * p] + a + 1, t + (f.dz + a) * nt + f.dz);
  return f;
}

}  // namespace qk::crossed
