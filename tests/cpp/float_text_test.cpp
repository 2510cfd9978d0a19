#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "runtime/memory.hpp"
#include "serialize/per_type/float_text.hpp"

namespace {

using kestro::Ref;

constexpr size_t ROOM = 40;
constexpr char GUARD = '\x5A';

template <class Float>
std::string write_text(Float v) {
    char buf[ROOM + 16];
    std::memset(buf, GUARD, sizeof buf);
    char* end;
    if constexpr (sizeof(Float) == 8) {
        end = kestro::write_f64_text(v, buf);
    } else {
        end = kestro::write_f32_text(v, buf);
    }
    for (size_t i = ROOM; i < sizeof buf; ++i) {
        if (buf[i] != GUARD) {
            ADD_FAILURE() << "store past the 40-byte room";
            break;
        }
    }
    return std::string(buf, end);
}

// A decimal number as its significant digits (no leading or trailing zeros)
// and the power of ten of the first digit.
struct Decimal {
    bool negative = false;
    std::string digits;
    int exp = 0;
};

// Reads texts such as "-1.5e+16", "0.0001", "1e-07", "1.e-07" or "123.0".
Decimal parse_decimal(const std::string& text) {
    Decimal d;
    size_t i = 0;
    if (text[0] == '-') {
        d.negative = true;
        i = 1;
    }
    size_t e = text.find_first_of("eE");
    std::string mantissa = text.substr(i, e == std::string::npos ? std::string::npos : e - i);
    int exp10 = e == std::string::npos ? 0 : std::atoi(text.c_str() + e + 1);
    size_t point = mantissa.find('.');
    int before_point = static_cast<int>(point == std::string::npos ? mantissa.size() : point);
    std::string all;
    for (char c : mantissa)
        if (c != '.') all += c;
    size_t lead = all.find_first_not_of('0');
    if (lead == std::string::npos) return d;  // zero
    size_t last = all.find_last_not_of('0');
    d.digits = all.substr(lead, last - lead + 1);
    d.exp = before_point - 1 - static_cast<int>(lead) + exp10;
    return d;
}

// The JSON number text of a decimal: fixed notation when the power of ten
// of the first digit lies in [min_fixed, max_fixed], else scientific.
std::string lay_out(const Decimal& d, int min_fixed, int max_fixed) {
    std::string out = d.negative ? "-" : "";
    if (d.digits.empty()) return out.append("0.0");
    size_t n = d.digits.size();
    int e = d.exp;
    if (e < min_fixed || e > max_fixed) {
        out.push_back(d.digits[0]);
        if (n > 1) out.append(".").append(d.digits, 1);
        out.append(e < 0 ? "e-" : "e+");
        return out.append(std::to_string(e < 0 ? -e : e));
    }
    if (e >= 0 && n <= static_cast<size_t>(e) + 1) {
        return out.append(d.digits).append(static_cast<size_t>(e) + 1 - n, '0').append(".0");
    }
    if (e >= 0) return out.append(d.digits, 0, static_cast<size_t>(e) + 1).append(".").append(d.digits, static_cast<size_t>(e) + 1);
    return out.append("0.").append(static_cast<size_t>(-e - 1), '0').append(d.digits);
}

std::string utf8_of(PyObject* s) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s, &n);
    return p ? std::string(p, static_cast<size_t>(n)) : std::string();
}

// The interpreter's repr gives the shortest round-trip digits of a double.
std::string python_repr(double v) {
    Ref f(PyFloat_FromDouble(v));
    Ref r(PyObject_Repr(f.get()));
    if (!r) {
        PyErr_Clear();
        return {};
    }
    return utf8_of(r.get());
}

std::string expected_f64(double v) { return lay_out(parse_decimal(python_repr(v)), -5, 15); }

void check_f64(double v) {
    std::string got = write_text(v);
    ASSERT_EQ(got, expected_f64(v)) << "value " << python_repr(v);
    ASSERT_EQ(std::strtod(got.c_str(), nullptr), v) << got;
}

double from_bits(uint64_t b) {
    double v;
    std::memcpy(&v, &b, sizeof v);
    return v;
}

float from_bits32(uint32_t b) {
    float v;
    std::memcpy(&v, &b, sizeof v);
    return v;
}

TEST(WriteF64Text, ExampleTable) {
    const std::pair<double, const char*> table[] = {
        {1.0, "1.0"},
        {-0.0, "-0.0"},
        {0.0, "0.0"},
        {0.1, "0.1"},
        {100.5, "100.5"},
        {1e15, "1000000000000000.0"},
        {1e16, "1e+16"},
        {1.5e16, "1.5e+16"},
        {0.00001, "0.00001"},
        {0.000001, "1e-6"},
        {1.25e-7, "1.25e-7"},
        {5e-324, "5e-324"},
        {1.7976931348623157e308, "1.7976931348623157e+308"},
        {3.0, "3.0"},
        {2e20, "2e+20"},
        {9999999999999998.0, "9999999999999998.0"},
        {0.0000099, "9.9e-6"},
        {1e-7, "1e-7"},
        {1e100, "1e+100"},
        {1.5e-300, "1.5e-300"},
        {-2.5, "-2.5"},
        {123456.789, "123456.789"},
        {-1e-5, "-0.00001"},
    };
    for (const auto& [v, text] : table) EXPECT_EQ(write_text(v), text);
}

TEST(WriteF32Text, ExampleTable) {
    const std::pair<float, const char*> table[] = {
        {0.1f, "0.1"},
        {1e-6f, "0.000001"},
        {1e-7f, "1e-7"},
        {1e12f, "1000000000000.0"},
        {1e13f, "1e+13"},
        {16777216.0f, "16777216.0"},
        {std::numeric_limits<float>::max(), "3.4028235e+38"},
        {std::numeric_limits<float>::denorm_min(), "1e-45"},
        {-0.0f, "-0.0"},
        {0.0f, "0.0"},
        {-1.5f, "-1.5"},
    };
    for (const auto& [v, text] : table) EXPECT_EQ(write_text(v), text);
}

TEST(WriteF64Text, RandomBitPatterns) {
    std::mt19937_64 rng(0xF64);
    for (int i = 0; i < 30000; ++i) {
        double v = from_bits(rng());
        if (!std::isfinite(v)) continue;
        check_f64(v);
    }
}

TEST(WriteF64Text, Subnormals) {
    std::mt19937_64 rng(0x5b);
    for (int i = 0; i < 5000; ++i) {
        uint64_t mantissa = rng() >> (12 + rng() % 52);
        check_f64(from_bits(mantissa | (rng() & (uint64_t{1} << 63))));
    }
    check_f64(std::numeric_limits<double>::denorm_min());
    check_f64(std::numeric_limits<double>::min());
    check_f64(std::nextafter(std::numeric_limits<double>::min(), 0.0));
}

TEST(WriteF64Text, AroundTheNotationSwitchPoints) {
    std::mt19937_64 rng(0x5917);
    for (double base : {1e-6, 1e-5, 1e-4, 1e14, 1e15, 1e16, 1e17}) {
        double up = base, down = base;
        for (int k = 0; k < 300; ++k) {
            check_f64(up);
            check_f64(-down);
            up = std::nextafter(up, INFINITY);
            down = std::nextafter(down, 0.0);
        }
        std::uniform_real_distribution<double> near(base * 0.9, base * 1.1);
        for (int k = 0; k < 2000; ++k) check_f64(near(rng));
    }
}

TEST(WriteF64Text, PowersOfTenAndTheirNeighbours) {
    for (int e = -323; e <= 308; ++e) {
        double v = std::strtod(("1e" + std::to_string(e)).c_str(), nullptr);
        check_f64(v);
        check_f64(std::nextafter(v, 0.0));
        check_f64(std::nextafter(v, INFINITY));
        if (e < 308) check_f64(std::strtod(("5e" + std::to_string(e)).c_str(), nullptr));
    }
}

TEST(WriteF64Text, IntegersNearTwoToThe53) {
    for (int64_t k = -300; k <= 300; ++k) {
        check_f64(static_cast<double>((int64_t{1} << 53) + k));
        check_f64(static_cast<double>((int64_t{1} << 54) + 4 * k));
        check_f64(-static_cast<double>((int64_t{1} << 53) + k));
    }
    for (int b = 0; b < 64; ++b) check_f64(std::ldexp(1.0, b));
}

TEST(WriteF64Text, ShortDecimals) {
    std::mt19937_64 rng(0xdec);
    for (int i = 0; i < 20000; ++i) {
        int64_t mantissa = static_cast<int64_t>(rng() % 10000000);
        int scale = static_cast<int>(rng() % 30) - 15;
        std::string text = std::to_string(mantissa) + "e" + std::to_string(scale);
        check_f64(std::strtod(text.c_str(), nullptr));
    }
}

// The standard library's shortest scientific form is a second source of the
// digits, cheap enough for sweeps over the whole bit space.
template <class Float>
std::string expected_from_to_chars(Float v, int min_fixed, int max_fixed) {
    char buf[64];
    char* end = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific).ptr;
    return lay_out(parse_decimal(std::string(buf, end)), min_fixed, max_fixed);
}

TEST(WriteF64Text, SweepOfTheBitSpaceAgreesWithStandardDigits) {
    // A stride prime to 2^64 visits every exponent and sign with varied mantissas.
    uint64_t bits = 0;
    for (int i = 0; i < 400000; ++i, bits += 0x0000A2F1B3C4D5E7ull * 7919) {
        double v = from_bits(bits);
        if (!std::isfinite(v)) continue;
        ASSERT_EQ(write_text(v), expected_from_to_chars(v, -5, 15)) << python_repr(v);
    }
}

TEST(WriteF32Text, SweepOfTheBitSpaceAgreesWithStandardDigits) {
    for (uint64_t b = 0; b < (uint64_t{1} << 32); b += 4093) {
        float v = from_bits32(static_cast<uint32_t>(b));
        if (!std::isfinite(v)) continue;
        ASSERT_EQ(write_text(v), expected_from_to_chars(v, -6, 12)) << "bits " << b;
    }
}

TEST(WriteF64Text, TwoSignificantBitsAtEveryExponent) {
    // Significands with one or two bits set put the scaled value, the
    // interval ends or both at exact integers: the rare corrections of the
    // digit search (an excluded end, equal integer parts, exact ties) all
    // happen here, at every scale.
#if defined(__SANITIZE_ADDRESS__)
    constexpr uint64_t exponent_step = 13;
#else
    constexpr uint64_t exponent_step = 1;
#endif
    for (uint64_t e = 0; e < 2047; e += exponent_step) {
        for (int a = 0; a < 52; ++a) {
            for (int b = 0; b <= a; ++b) {
                const uint64_t m = ((uint64_t{1} << a) | (uint64_t{1} << b)) & ((uint64_t{1} << 52) - 1);
                const double v = from_bits((e << 52) | m);
                ASSERT_EQ(write_text(v), expected_from_to_chars(v, -5, 15)) << python_repr(v);
            }
        }
    }
}

TEST(WriteF64Text, IntegralValuesOfEveryWidth) {
    std::mt19937_64 rng(0x1a7);
    for (int i = 0; i < 100000; ++i) {
        unsigned width = 1 + static_cast<unsigned>(rng() % 64);
        double v = static_cast<double>(rng() >> (64 - width));
        ASSERT_EQ(write_text(v), expected_from_to_chars(v, -5, 15));
        ASSERT_EQ(write_text(-v), expected_from_to_chars(-v, -5, 15));
    }
    for (int v = 0; v < 20000; ++v) ASSERT_EQ(write_text(static_cast<double>(v)), expected_f64(v));
}

TEST(WriteF32Text, IntegralValuesOfEveryWidth) {
    std::mt19937 rng(0x1a8);
    for (int i = 0; i < 100000; ++i) {
        unsigned width = 1 + static_cast<unsigned>(rng() % 32);
        float v = static_cast<float>(static_cast<uint32_t>(rng()) >> (32 - width));
        ASSERT_EQ(write_text(v), expected_from_to_chars(v, -6, 12));
    }
}

TEST(WriteF32Text, EveryPowerOfTwoAndItsNeighbours) {
    for (uint32_t e = 0; e < 255; ++e) {
        for (uint32_t m : {0u, 1u, 2u, 0x7FFFFEu, 0x7FFFFFu}) {
            float v = from_bits32((e << 23) | m);
            ASSERT_EQ(write_text(v), expected_from_to_chars(v, -6, 12)) << "bits " << ((e << 23) | m);
        }
    }
}

// numpy's shortest digits of a single-precision value, when numpy is present.
class Float32Reference {
  public:
    Float32Reference() : numpy_(import_numpy()), float32_(attr("float32")), format_(attr("format_float_scientific")) {}
    bool available() const { return float32_ && format_; }
    std::string scientific(float v) const {
        Ref f(PyFloat_FromDouble(static_cast<double>(v)));
        Ref scalar(PyObject_CallOneArg(float32_.get(), f.get()));
        if (!scalar) return error();
        Ref text(PyObject_CallOneArg(format_.get(), scalar.get()));
        if (!text) return error();
        return utf8_of(text.get());
    }

  private:
    static PyObject* import_numpy() {
        PyObject* m = PyImport_ImportModule("numpy");
        if (!m) PyErr_Clear();
        return m;
    }
    PyObject* attr(const char* name) const {
        if (!numpy_) return nullptr;
        PyObject* a = PyObject_GetAttrString(numpy_.get(), name);
        if (!a) PyErr_Clear();
        return a;
    }
    static std::string error() {
        PyErr_Clear();
        return "(python error)";
    }
    Ref numpy_, float32_, format_;
};

class WriteF32TextVsNumpy : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!numpy_.available()) GTEST_SKIP() << "numpy cannot be imported";
    }
    void check(float v) {
        std::string got = write_text(v);
        std::string ref = numpy_.scientific(v);
        ASSERT_EQ(got, lay_out(parse_decimal(ref), -6, 12)) << "numpy digits " << ref;
        ASSERT_EQ(std::strtof(got.c_str(), nullptr), v) << got;
    }
    Float32Reference numpy_;
};

TEST_F(WriteF32TextVsNumpy, RandomBitPatterns) {
    std::mt19937 rng(0xF32);
    for (int i = 0; i < 20000; ++i) {
        float v = from_bits32(static_cast<uint32_t>(rng()));
        if (!std::isfinite(v)) continue;
        check(v);
    }
}

TEST_F(WriteF32TextVsNumpy, SubnormalsPowersOfTenAndSwitchPoints) {
    std::mt19937 rng(0x532);
    for (int i = 0; i < 2000; ++i) check(from_bits32(static_cast<uint32_t>(rng()) >> (9 + rng() % 23)));
    for (int e = -45; e <= 38; ++e) {
        float v = std::strtof(("1e" + std::to_string(e)).c_str(), nullptr);
        check(v);
        check(std::nextafter(v, 0.0f));
        if (std::isfinite(std::nextafter(v, INFINITY))) check(std::nextafter(v, INFINITY));
    }
    for (float base : {1e-7f, 1e-6f, 1e-5f, 1e12f, 1e13f}) {
        float up = base, down = base;
        for (int k = 0; k < 200; ++k) {
            check(up);
            check(-down);
            up = std::nextafter(up, INFINITY);
            down = std::nextafter(down, 0.0f);
        }
    }
    for (int k = -100; k <= 100; ++k) check(static_cast<float>(16777216 + 2 * k));
}

TEST(DecimalReference, ReadsTheTextsItIsGiven) {
    // The layout reference itself, on hand-checked inputs.
    EXPECT_EQ(lay_out(parse_decimal("1e-07"), -5, 15), "1e-7");
    EXPECT_EQ(lay_out(parse_decimal("1.e-07"), -6, 12), "1e-7");
    EXPECT_EQ(lay_out(parse_decimal("1.5e+16"), -5, 15), "1.5e+16");
    EXPECT_EQ(lay_out(parse_decimal("0.00012"), -5, 15), "0.00012");
    EXPECT_EQ(lay_out(parse_decimal("-120.0"), -5, 15), "-120.0");
    EXPECT_EQ(lay_out(parse_decimal("12.5"), -5, 15), "12.5");
    EXPECT_EQ(lay_out(parse_decimal("1e+22"), -5, 15), "1e+22");
    EXPECT_EQ(lay_out(parse_decimal("1.25e+02"), -5, 15), "125.0");
}

}  // namespace
