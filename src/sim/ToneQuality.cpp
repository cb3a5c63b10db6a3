#include "sim/ToneQuality.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <utility>

namespace sonarill::sim {

namespace {

using Vector = std::array<double, 4>;
using Matrix = std::array<Vector, 4>;

// Solves m x = v by Gaussian elimination with partial pivoting; false when m is singular.
bool solve(Matrix m, Vector v, Vector& x) {
    for (size_t col = 0; col < 4; ++col) {
        size_t pivot = col;
        for (size_t row = col + 1; row < 4; ++row) {
            if (std::fabs(m[row][col]) > std::fabs(m[pivot][col]))
                pivot = row;
        }
        if (m[pivot][col] == 0.0)
            return false;
        std::swap(m[col], m[pivot]);
        std::swap(v[col], v[pivot]);
        for (size_t row = col + 1; row < 4; ++row) {
            const double factor = m[row][col] / m[col][col];
            for (size_t k = col; k < 4; ++k)
                m[row][k] -= factor * m[col][k];
            v[row] -= factor * v[col];
        }
    }
    for (size_t col = 4; col-- > 0;) {
        double sum = v[col];
        for (size_t k = col + 1; k < 4; ++k)
            sum -= m[col][k] * x[k];
        x[col] = sum / m[col][col];
    }
    return true;
}

} // namespace

double toneNoiseDecibels(const float* samples, size_t frames, size_t channels, size_t channel,
                         double hz) {
    if (frames < 16 || channel >= channels)
        return 0.0;
    const auto at = [&](size_t n) { return double(samples[n * channels + channel]); };
    // Time counted from the middle keeps the frequency's column well scaled.
    const double middle = double(frames - 1) / 2.0;
    double omega = 2.0 * std::numbers::pi * hz / 48000.0;
    double a = 0.0, b = 0.0, c = 0.0;
    // The first pass fits amplitude, phase and offset at the given frequency; the next ones also
    // move the frequency (Newton steps on the linearised model).
    for (int pass = 0; pass < 12; ++pass) {
        const bool moveFrequency = pass > 0;
        Matrix m{};
        Vector v{};
        for (size_t n = 0; n < frames; ++n) {
            const double t = double(n) - middle;
            const double cosine = std::cos(omega * t), sine = std::sin(omega * t);
            const Vector column{cosine, sine, 1.0,
                                moveFrequency ? t * (b * cosine - a * sine) : 0.0};
            for (size_t i = 0; i < 4; ++i) {
                v[i] += column[i] * at(n);
                for (size_t j = 0; j < 4; ++j)
                    m[i][j] += column[i] * column[j];
            }
        }
        if (!moveFrequency)
            m[3][3] = 1.0; // the frequency stays: its unknown is 0
        Vector x{};
        if (!solve(m, v, x))
            return 0.0;
        a = x[0];
        b = x[1];
        c = x[2];
        omega += x[3];
        if (moveFrequency && std::fabs(x[3]) < 1e-12)
            break;
    }
    double tone = 0.0, rest = 0.0;
    for (size_t n = 0; n < frames; ++n) {
        const double t = double(n) - middle;
        const double fitted = a * std::cos(omega * t) + b * std::sin(omega * t);
        tone += fitted * fitted;
        const double left = at(n) - fitted - c;
        rest += left * left;
    }
    if (tone <= 0.0)
        return 0.0;
    return 10.0 * std::log10(std::max(rest, 1e-30) / tone);
}

} // namespace sonarill::sim
