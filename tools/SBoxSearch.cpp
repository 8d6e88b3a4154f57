// Searches for short circuits of three-input functions (vpternlog gates) that compute the four
// output bits of each DES S-box, and prints them as the table ciphers/DesCircuits.h holds.
//
//   sbox-search [seconds per S-box] [seed] [box, 0 to 7, or -1 for all] [improve]
//
// With "improve" the search starts from the circuits in ciphers/DesCircuits.h and spends all its
// time rebuilding one or two outputs of the best circuit so far on the gates the others leave;
// otherwise it spends half its time on fresh circuits and the other half so.
//
// A circuit grows one output at a time. A target (a truth table over the 64 inputs, with a mask of
// the inputs that matter) is met, in order of preference, by a node already built (or its
// complement: every consumer is a gate and absorbs a NOT), by one new gate over three nodes, by
// two new gates, or by splitting: either on an input variable (a multiplexer over two half
// targets), or on two existing nodes that already decide part of the target. Choices are made at
// random and the search restarts until its time is up, keeping the shortest circuit.

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <vector>

#include "ciphers/DesCircuits.h"
#include "ciphers/DesTables.h"

namespace {

using Table = std::uint64_t;

struct Node {
    Table tt = 0;
    int lut = 0;
    int a = -1;
    int b = -1;
    int c = -1;
};

struct Ref {
    int node = -1;
    bool inverted = false;
};

struct Circuit {
    std::vector<Node> nodes;
    std::array<Ref, 4> outputs{};
    [[nodiscard]] int Gates() const { return static_cast<int>(nodes.size()) - 6; }
};

// Variable k (0 = x1, the most significant input bit) over the 64 inputs.
Table Variable(int k) {
    Table t = 0;
    for (int x = 0; x < 64; ++x) {
        if ((x >> (5 - k)) & 1) {
            t |= Table{1} << x;
        }
    }
    return t;
}

Table Apply(int lut, Table a, Table b, Table c) {
    Table r = 0;
    for (int i = 0; i < 8; ++i) {
        if ((lut >> i) & 1) {
            r |= ((i & 4) ? a : ~a) & ((i & 2) ? b : ~b) & ((i & 1) ? c : ~c);
        }
    }
    return r;
}

Table OutputTable(int box, int bit) {
    Table t = 0;
    for (int x = 0; x < 64; ++x) {
        const int row = ((x >> 4) & 2) | (x & 1);
        const int column = (x >> 1) & 15;
        const int value = morvex::des::kSBoxes[static_cast<std::size_t>(box)][static_cast<std::size_t>(row)]
                                              [static_cast<std::size_t>(column)];
        if ((value >> (3 - bit)) & 1) {
            t |= Table{1} << x;
        }
    }
    return t;
}

class Search {
public:
    Search(Circuit& c, std::mt19937_64& rng) : c_(c), rng_(rng) {}

    std::optional<Ref> Build(Table t, Table m, unsigned usedVars, int depth) {
        if (auto r = Existing(t, m)) {
            return r;
        }
        if (auto r = OneGate(t, m)) {
            return r;
        }
        if (c_.nodes.size() <= 34) {
            if (auto r = TwoGates(t, m)) {
                return r;
            }
        }
        if (depth > 7) {
            return std::nullopt;
        }
        // A split on two nodes that already settle some of the target.
        const int n = static_cast<int>(c_.nodes.size());
        int bestA = -1;
        int bestB = -1;
        int bestLeft = std::popcount(m);
        for (int a = 0; a < n; ++a) {
            for (int b = a + 1; b < n; ++b) {
                Table left = 0;
                for (int q = 0; q < 4; ++q) {
                    const Table region = m & ((q & 2) ? At(a).tt : ~At(a).tt) &
                                         ((q & 1) ? At(b).tt : ~At(b).tt);
                    if ((region & t) != 0 && (region & ~t) != 0) {
                        left |= region;
                    }
                }
                const int count = std::popcount(left) + static_cast<int>(rng_() % 3);
                if (count < bestLeft) {
                    bestLeft = count;
                    bestA = a;
                    bestB = b;
                }
            }
        }
        std::vector<int> vars;
        for (int k = 0; k < 6; ++k) {
            if (!((usedVars >> k) & 1)) {
                vars.push_back(k);
            }
        }
        const bool pairSplit = bestA >= 0 && bestLeft * 2 <= std::popcount(m) && (vars.empty() || rng_() % 4 != 0);
        if (pairSplit) {
            Table left = 0;
            int lut = 0;
            const Table ta = At(bestA).tt;
            const Table tb = At(bestB).tt;
            for (int q = 0; q < 4; ++q) {
                const Table region = m & ((q & 2) ? ta : ~ta) & ((q & 1) ? tb : ~tb);
                if ((region & t) != 0 && (region & ~t) != 0) {
                    left |= region;
                }
            }
            auto x = Build(t, left, usedVars, depth + 1);
            if (!x) {
                return std::nullopt;
            }
            const Table tx = At(x->node).tt ^ (x->inverted ? ~Table{0} : 0);
            for (int q = 0; q < 4; ++q) {
                const Table region = m & ((q & 2) ? ta : ~ta) & ((q & 1) ? tb : ~tb);
                const bool mixed = (region & t) != 0 && (region & ~t) != 0;
                for (int v = 0; v < 2; ++v) {
                    // Entry (a = q>>1, b = q&1, x value v); x is the real node, possibly the complement
                    // of what was asked.
                    int out;
                    if (mixed) {
                        out = x->inverted ? !v : v;
                    } else {
                        out = (region & t) != 0 ? 1 : 0;
                    }
                    (void)tx;
                    if (out) {
                        lut |= 1 << ((q << 1) | v);
                    }
                }
            }
            return Add(lut, bestA, bestB, x->node);
        }
        if (vars.empty()) {
            return std::nullopt;
        }
        const int k = vars[rng_() % vars.size()];
        const Table s = Variable(k);
        auto lo = Build(t, m & ~s, usedVars | (1u << k), depth + 1);
        if (!lo) {
            return std::nullopt;
        }
        auto hi = Build(t, m & s, usedVars | (1u << k), depth + 1);
        if (!hi) {
            return std::nullopt;
        }
        // s ? hi : lo, with the complements folded in.
        int lut = 0;
        for (int i = 0; i < 8; ++i) {
            const int sv = (i >> 2) & 1;
            const int hv = (i >> 1) & 1;
            const int lv = i & 1;
            const int out = sv ? (hv ^ hi->inverted) : (lv ^ lo->inverted);
            if (out) {
                lut |= 1 << i;
            }
        }
        return Add(lut, k, hi->node, lo->node);
    }

private:
    [[nodiscard]] const Node& At(int i) const { return c_.nodes[static_cast<std::size_t>(i)]; }

    std::optional<Ref> Existing(Table t, Table m) const {
        for (int i = static_cast<int>(c_.nodes.size()) - 1; i >= 0; --i) {
            const Table d = (At(i).tt ^ t) & m;
            if (d == 0) {
                return Ref{i, false};
            }
            if (d == m) {
                return Ref{i, true};
            }
        }
        return std::nullopt;
    }

    Ref Add(int lut, int a, int b, int cc) {
        Node node{Apply(lut, At(a).tt, At(b).tt, At(cc).tt), lut, a, b, cc};
        c_.nodes.push_back(node);
        return Ref{static_cast<int>(c_.nodes.size()) - 1, false};
    }

    // The function of (a, b, c) that meets t on m, if t on m depends on nothing else.
    std::optional<int> Fit(Table t, Table m, Table a, Table b, Table c) {
        int lut = 0;
        for (int i = 0; i < 8; ++i) {
            const Table region = m & ((i & 4) ? a : ~a) & ((i & 2) ? b : ~b) & ((i & 1) ? c : ~c);
            const bool one = (region & t) != 0;
            if (one && (region & ~t) != 0) {
                return std::nullopt;
            }
            if (one || (region == 0 && (rng_() & 1))) {
                lut |= 1 << i;
            }
        }
        return lut;
    }

    std::optional<Ref> OneGate(Table t, Table m) {
        const int n = static_cast<int>(c_.nodes.size());
        std::vector<std::array<int, 3>> found;
        for (int a = 0; a < n; ++a) {
            for (int b = a + 1; b < n; ++b) {
                for (int cc = b + 1; cc < n; ++cc) {
                    if (Fit(t, m, At(a).tt, At(b).tt, At(cc).tt)) {
                        found.push_back({a, b, cc});
                    }
                }
            }
        }
        if (found.empty()) {
            return std::nullopt;
        }
        const auto pick = found[rng_() % found.size()];
        const int lut = *Fit(t, m, At(pick[0]).tt, At(pick[1]).tt, At(pick[2]).tt);
        return Add(lut, pick[0], pick[1], pick[2]);
    }

    // t = G(X, d, e) with X = F(a, b, c), all of a to e existing.
    std::optional<Ref> TwoGates(Table t, Table m) {
        const int n = static_cast<int>(c_.nodes.size());
        const Table t1 = t & m;
        const Table t0 = ~t & m;
        std::vector<std::array<int, 5>> found;
        for (int a = 0; a < n; ++a) {
            for (int b = a + 1; b < n; ++b) {
                for (int cc = b + 1; cc < n; ++cc) {
                    std::array<Table, 8> q1{};
                    std::array<Table, 8> q0{};
                    for (std::size_t i = 0; i < 8; ++i) {
                        const Table region = ((i & 4) ? At(a).tt : ~At(a).tt) &
                                             ((i & 2) ? At(b).tt : ~At(b).tt) &
                                             ((i & 1) ? At(cc).tt : ~At(cc).tt);
                        q1[i] = region & t1;
                        q0[i] = region & t0;
                    }
                    for (int d = 0; d < n; ++d) {
                        for (int e = d + 1; e < n; ++e) {
                            if (found.size() > 64) {
                                break;
                            }
                            if (Consistent(q1, q0, At(d).tt, At(e).tt)) {
                                found.push_back({a, b, cc, d, e});
                            }
                        }
                    }
                }
            }
        }
        if (found.empty()) {
            return std::nullopt;
        }
        const auto p = found[rng_() % found.size()];
        // Solve for X's table: try every polarity choice of the four (d, e) regions.
        const Table td = At(p[3]).tt;
        const Table te = At(p[4]).tt;
        for (int pol = 0; pol < 16; ++pol) {
            Table flip = 0;
            for (int r = 0; r < 4; ++r) {
                if ((pol >> r) & 1) {
                    flip |= ((r & 2) ? td : ~td) & ((r & 1) ? te : ~te);
                }
            }
            // Regions of (d, e) where t is constant do not constrain X.
            Table care = 0;
            for (int r = 0; r < 4; ++r) {
                const Table region = m & ((r & 2) ? td : ~td) & ((r & 1) ? te : ~te);
                if ((region & t) != 0 && (region & ~t) != 0) {
                    care |= region;
                }
            }
            const auto lutX = Fit(t ^ flip, care, At(p[0]).tt, At(p[1]).tt, At(p[2]).tt);
            if (!lutX) {
                continue;
            }
            const Ref x = Add(*lutX, p[0], p[1], p[2]);
            const Table tx = At(x.node).tt;
            const auto lutG = Fit(t, m, tx, td, te);
            if (lutG) {
                return Add(*lutG, x.node, p[3], p[4]);
            }
            c_.nodes.pop_back();
        }
        return std::nullopt;
    }

    // Whether some X, constant on each (a, b, c) region, lets t on m be a function of (X, d, e).
    static bool Consistent(const std::array<Table, 8>& q1, const std::array<Table, 8>& q0, Table d, Table e) {
        std::array<Table, 4> p{};
        for (std::size_t r = 0; r < 4; ++r) {
            p[r] = ((r & 2) ? d : ~d) & ((r & 1) ? e : ~e);
        }
        // value[q][r]: 0 none, 1 zeros only, 2 ones only; 3 mixed = impossible.
        std::array<std::array<int, 4>, 8> value{};
        std::array<int, 4> seen{};
        for (std::size_t q = 0; q < 8; ++q) {
            for (std::size_t r = 0; r < 4; ++r) {
                const int v = ((q0[q] & p[r]) != 0 ? 1 : 0) | ((q1[q] & p[r]) != 0 ? 2 : 0);
                if (v == 3) {
                    return false;
                }
                value[q][r] = v;
                seen[r] |= v;
            }
        }
        for (unsigned pol = 0; pol < 16; ++pol) {
            bool ok = true;
            for (std::size_t q = 0; q < 8 && ok; ++q) {
                int need = 0;
                for (std::size_t r = 0; r < 4; ++r) {
                    if (seen[r] != 3 || value[q][r] == 0) {
                        continue;  // t constant on region r: X free there
                    }
                    const int x = ((value[q][r] == 2) ? 1 : 0) ^ static_cast<int>((pol >> r) & 1);
                    need |= 1 << x;
                }
                ok = need != 3;
            }
            if (ok) {
                return true;
            }
        }
        return false;
    }

    Circuit& c_;
    std::mt19937_64& rng_;
};

std::optional<Circuit> Attempt(int box, std::mt19937_64& rng) {
    Circuit c;
    for (int k = 0; k < 6; ++k) {
        c.nodes.push_back(Node{Variable(k), 0, -1, -1, -1});
    }
    std::array<int, 4> order{0, 1, 2, 3};
    std::shuffle(order.begin(), order.end(), rng);
    Search search(c, rng);
    for (int bit : order) {
        auto r = search.Build(OutputTable(box, bit), ~Table{0}, 0, 0);
        if (!r) {
            return std::nullopt;
        }
        c.outputs[static_cast<std::size_t>(bit)] = *r;
    }
    return c;
}

// Drops nodes no output needs and renumbers the rest.
// Outputs without a node (-1) are left out.
Circuit Pruned(const Circuit& c) {
    std::vector<bool> live(c.nodes.size(), false);
    for (const Ref& r : c.outputs) {
        if (r.node >= 0) {
            live[static_cast<std::size_t>(r.node)] = true;
        }
    }
    for (int i = static_cast<int>(c.nodes.size()) - 1; i >= 6; --i) {
        if (live[static_cast<std::size_t>(i)]) {
            const Node& n = c.nodes[static_cast<std::size_t>(i)];
            live[static_cast<std::size_t>(n.a)] = live[static_cast<std::size_t>(n.b)] =
                live[static_cast<std::size_t>(n.c)] = true;
        }
    }
    std::vector<int> index(c.nodes.size(), -1);
    Circuit out;
    for (std::size_t i = 0; i < c.nodes.size(); ++i) {
        if (i < 6 || live[i]) {
            index[i] = static_cast<int>(out.nodes.size());
            Node n = c.nodes[i];
            if (i >= 6) {
                n.a = index[static_cast<std::size_t>(n.a)];
                n.b = index[static_cast<std::size_t>(n.b)];
                n.c = index[static_cast<std::size_t>(n.c)];
            }
            out.nodes.push_back(n);
        }
    }
    for (std::size_t k = 0; k < 4; ++k) {
        const int node = c.outputs[k].node;
        out.outputs[k] = {node < 0 ? -1 : index[static_cast<std::size_t>(node)], c.outputs[k].inverted};
    }
    return out;
}

// Makes every output the node itself rather than its complement: the node's function is flipped
// and each gate that reads it reads it flipped, so nothing else changes.
void Normalize(Circuit& c) {
    for (std::size_t k = 0; k < 4; ++k) {
        const Ref r = c.outputs[k];
        if (!r.inverted || r.node < 6) {
            continue;
        }
        bool sharedUpright = false;
        for (const Ref& other : c.outputs) {
            sharedUpright = sharedUpright || (other.node == r.node && !other.inverted);
        }
        if (sharedUpright) {
            continue;
        }
        Node& n = c.nodes[static_cast<std::size_t>(r.node)];
        n.lut ^= 0xFF;
        n.tt = ~n.tt;
        for (std::size_t i = 6; i < c.nodes.size(); ++i) {
            Node& g = c.nodes[i];
            const std::array<int, 3> operands{g.a, g.b, g.c};
            for (int position = 0; position < 3; ++position) {
                if (operands[static_cast<std::size_t>(position)] != r.node) {
                    continue;
                }
                const int bit = 4 >> position;
                int lut = 0;
                for (int e = 0; e < 8; ++e) {
                    if ((g.lut >> (e ^ bit)) & 1) {
                        lut |= 1 << e;
                    }
                }
                g.lut = lut;
            }
        }
        for (Ref& other : c.outputs) {
            if (other.node == r.node) {
                other.inverted = !other.inverted;
            }
        }
    }
}

// vpternlog overwrites its first operand, so a gate whose first operand is still needed later
// costs a register copy. Puts first, where there is one, an operand whose value dies at the gate.
void OrderOperands(Circuit& c) {
    const int count = static_cast<int>(c.nodes.size());
    std::vector<int> lastUse(c.nodes.size(), -1);
    for (int i = 6; i < count; ++i) {
        const Node& g = c.nodes[static_cast<std::size_t>(i)];
        lastUse[static_cast<std::size_t>(g.a)] = lastUse[static_cast<std::size_t>(g.b)] =
            lastUse[static_cast<std::size_t>(g.c)] = i;
    }
    for (const Ref& r : c.outputs) {
        lastUse[static_cast<std::size_t>(r.node)] = count;
    }
    for (int i = 6; i < count; ++i) {
        Node& g = c.nodes[static_cast<std::size_t>(i)];
        std::array<int, 3> operands{g.a, g.b, g.c};
        int first = -1;
        for (int position = 0; position < 3 && first < 0; ++position) {
            const int o = operands[static_cast<std::size_t>(position)];
            const bool repeated = (o == operands[static_cast<std::size_t>((position + 1) % 3)]) ||
                                  (o == operands[static_cast<std::size_t>((position + 2) % 3)]);
            if (lastUse[static_cast<std::size_t>(o)] == i && !repeated) {
                first = position;
            }
        }
        if (first <= 0) {
            continue;
        }
        // Rotate so that operand `first` comes first; entry (va, vb, vc) moves with its operands.
        std::array<int, 3> order{first, (first + 1) % 3, (first + 2) % 3};
        int lut = 0;
        for (int e = 0; e < 8; ++e) {
            const std::array<int, 3> values{(e >> 2) & 1, (e >> 1) & 1, e & 1};
            const int moved = (values[static_cast<std::size_t>(order[0])] << 2) |
                              (values[static_cast<std::size_t>(order[1])] << 1) |
                              values[static_cast<std::size_t>(order[2])];
            if ((g.lut >> e) & 1) {
                lut |= 1 << moved;
            }
        }
        g.lut = lut;
        g.a = operands[static_cast<std::size_t>(order[0])];
        g.b = operands[static_cast<std::size_t>(order[1])];
        g.c = operands[static_cast<std::size_t>(order[2])];
    }
}

// The circuit in ciphers/DesCircuits.h, to improve on.
Circuit Committed(int box) {
    const morvex::des::SBoxCircuit& from = morvex::des::kSBoxCircuits[static_cast<std::size_t>(box)];
    Circuit c;
    for (int k = 0; k < 6; ++k) {
        c.nodes.push_back(Node{Variable(k), 0, -1, -1, -1});
    }
    for (std::size_t i = 0; i < from.gateCount; ++i) {
        const morvex::des::CircuitGate& g = from.gates[i];
        c.nodes.push_back(Node{Apply(g.table, c.nodes[g.a].tt, c.nodes[g.b].tt, c.nodes[g.c].tt), g.table, g.a, g.b, g.c});
    }
    for (std::size_t k = 0; k < 4; ++k) {
        c.outputs[k] = {from.outputs[k], false};
    }
    return c;
}

bool Verify(const Circuit& c, int box);

// Local search: one or two outputs taken out with the gates only they need, and built again on
// what the others leave.
std::optional<Circuit> Rebuilt(const Circuit& from, int box, std::mt19937_64& rng) {
    Circuit c = from;
    std::array<int, 4> order{0, 1, 2, 3};
    std::shuffle(order.begin(), order.end(), rng);
    const int count = 1 + static_cast<int>(rng() % 2);
    for (int i = 0; i < count; ++i) {
        c.outputs[static_cast<std::size_t>(order[static_cast<std::size_t>(i)])].node = -1;
    }
    c = Pruned(c);
    Search search(c, rng);
    for (int i = 0; i < count; ++i) {
        const int bit = order[static_cast<std::size_t>(i)];
        auto r = search.Build(OutputTable(box, bit), ~Table{0}, 0, 0);
        if (!r) {
            return std::nullopt;
        }
        c.outputs[static_cast<std::size_t>(bit)] = *r;
    }
    Circuit p = Pruned(c);
    Normalize(p);
    OrderOperands(p);
    return p;
}

bool Verify(const Circuit& c, int box) {
    for (std::size_t i = 6; i < c.nodes.size(); ++i) {
        const Node& n = c.nodes[i];
        if (Apply(n.lut, c.nodes[static_cast<std::size_t>(n.a)].tt, c.nodes[static_cast<std::size_t>(n.b)].tt,
                  c.nodes[static_cast<std::size_t>(n.c)].tt) != n.tt) {
            return false;
        }
    }
    for (int bit = 0; bit < 4; ++bit) {
        const Ref r = c.outputs[static_cast<std::size_t>(bit)];
        if ((c.nodes[static_cast<std::size_t>(r.node)].tt ^ (r.inverted ? ~Table{0} : 0)) != OutputTable(box, bit)) {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 20.0;
    const unsigned long long seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
    const int onlyBox = argc > 3 ? std::atoi(argv[3]) : -1;
    // With a fourth argument, start from the committed circuits and only improve on them.
    const bool improve = argc > 4;
    std::mt19937_64 rng(seed);
    for (int box = 0; box < 8; ++box) {
        if (onlyBox >= 0 && box != onlyBox) {
            continue;
        }
        std::optional<Circuit> best;
        if (improve) {
            best = Committed(box);
        }
        long attempts = 0;
        const auto start = std::chrono::steady_clock::now();
        const auto end = start + std::chrono::duration<double>(seconds);
        // Half the time (all of it when improving) goes to rebuilding parts of the best so far.
        const auto local = improve ? start : start + std::chrono::duration<double>(seconds / 2);
        // An attempt can end without a circuit, so the search goes on past its time until it has one.
        while (std::chrono::steady_clock::now() < end || !best) {
            ++attempts;
            const bool rebuild = best && std::chrono::steady_clock::now() >= local;
            std::optional<Circuit> c = rebuild ? Rebuilt(*best, box, rng) : Attempt(box, rng);
            if (!c) {
                continue;
            }
            Circuit p = rebuild ? *c : Pruned(*c);
            if (!rebuild) {
                Normalize(p);
                OrderOperands(p);
            }
            if (!Verify(p, box) || std::any_of(p.outputs.begin(), p.outputs.end(), [](const Ref& r) { return r.inverted; })) {
                std::fprintf(stderr, "S%d: a circuit failed its check\n", box + 1);
                return 1;
            }
            // Equal counts are taken too while rebuilding, so the search can walk along a plateau.
            if (!best || p.Gates() < best->Gates() || (rebuild && p.Gates() == best->Gates())) {
                best = p;
            }
        }
        std::fprintf(stderr, "S%d: %d gates, best of %ld attempts\n", box + 1, best->Gates(), attempts);
        std::printf("    // S%d\n    {%d, {{", box + 1, best->Gates());
        for (std::size_t i = 6; i < best->nodes.size(); ++i) {
            const Node& n = best->nodes[i];
            const char* before = i == 6 ? "\n         " : (i - 6) % 6 == 0 ? ",\n         " : ", ";
            std::printf("%s{0x%02X, %d, %d, %d}", before, n.lut, n.a, n.b, n.c);
        }
        std::printf("}},\n     {");
        for (std::size_t k = 0; k < 4; ++k) {
            std::printf("%s%d", k == 0 ? "" : ", ", best->outputs[k].node);
        }
        std::printf("}},\n");
    }
    return 0;
}
