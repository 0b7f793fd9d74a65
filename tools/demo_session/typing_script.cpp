#include "tools/demo_session/typing_script.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <map>
#include <numbers>
#include <stdexcept>
#include <string>

#include "engine/core/core_types.h"

namespace clavio::demo {

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr std::uint16_t kLeftShift = 56;
constexpr std::uint16_t kBackspace = 51;
constexpr std::uint16_t kEnter = 36;
constexpr std::uint16_t kSpace = 49;

// One stretch of text typed in one manner. In the text, '\n' is the enter
// key, '<' is backspace and '^' holds the next key down long enough for it
// to autorepeat.
struct Segment {
    const char* text;
    double force;         // mean strike force
    double keysPerSecond; // mean typing speed
};

// About 20 seconds of typing: a feather-light start, ordinary sentences with
// capitals, a typo mended with backspace, a slammed word, a held key, a fast
// burst and a slammed last enter.
constexpr std::array kScript = {
    Segment{"hush, ", 0.09, 5.0},
    Segment{"The quick fox jumps.\n", 0.50, 7.0},
    Segment{"It hears evry<<<very key, ", 0.55, 8.0},
    Segment{"soft or ", 0.30, 6.0},
    Segment{"HARD. ", 0.93, 5.0},
    Segment{"N^oo ", 0.50, 6.0},
    Segment{"a fast burst, ", 0.62, 12.0},
    Segment{"calm.", 0.42, 4.5},
    Segment{"\n", 1.00, 4.0},
};

std::uint16_t keyCode(char c) {
    switch (std::tolower(static_cast<unsigned char>(c))) {
    case 'a':
        return 0;
    case 's':
        return 1;
    case 'd':
        return 2;
    case 'f':
        return 3;
    case 'h':
        return 4;
    case 'g':
        return 5;
    case 'z':
        return 6;
    case 'x':
        return 7;
    case 'c':
        return 8;
    case 'v':
        return 9;
    case 'b':
        return 11;
    case 'q':
        return 12;
    case 'w':
        return 13;
    case 'e':
        return 14;
    case 'r':
        return 15;
    case 'y':
        return 16;
    case 't':
        return 17;
    case 'o':
        return 31;
    case 'u':
        return 32;
    case 'i':
        return 34;
    case 'p':
        return 35;
    case 'l':
        return 37;
    case 'j':
        return 38;
    case 'k':
        return 40;
    case 'n':
        return 45;
    case 'm':
        return 46;
    case ',':
        return 43;
    case '.':
        return 47;
    case ' ':
        return kSpace;
    case '\n':
        return kEnter;
    case '<':
        return kBackspace;
    }
    throw std::logic_error(std::string("no key for '") + c + "' in the demo text");
}

// Where a key sits (column, row) on a laptop keyboard; it tilts the
// direction of the strike a little, as a real strike would.
void keyPosition(char c, double& column, double& row) {
    static const std::array<std::string, 3> rows = {"qwertyuiop", "asdfghjkl", "zxcvbnm,."};
    const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (std::size_t r = 0; r < rows.size(); ++r) {
        if (const auto col = rows[r].find(lower); col != std::string::npos) {
            column = double(col) + 0.5 * double(r);
            row = double(r);
            return;
        }
    }
    column = c == '<' ? 12.5 : c == '\n' ? 12.0 : 5.0; // backspace, enter, space
    row = c == '<' ? -1.0 : c == '\n' ? 1.0 : 3.0;
}

double roundTo(double value, double step) {
    return std::round(value / step) * step;
}

std::uint64_t toTicks(double seconds) {
    return std::uint64_t(std::llround(seconds * 1e9));
}

struct Stroke {
    char c;
    double force;
    double keysPerSecond;
    bool held;
};

std::vector<Stroke> strokesOf() {
    std::vector<Stroke> strokes;
    for (const auto& segment : kScript) {
        bool hold = false;
        for (const char* p = segment.text; *p; ++p) {
            if (*p == '^') {
                hold = true;
                continue;
            }
            strokes.push_back({*p, segment.force, segment.keysPerSecond, hold});
            hold = false;
        }
    }
    return strokes;
}

} // namespace

std::uint64_t Random::bits() {
    // splitmix64: small, fast and fully specified.
    std::uint64_t z = (_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double Random::uniform() {
    return double(bits() >> 11) * 0x1.0p-53;
}

double Random::normal(double mean, double sigma) {
    // Box-Muller; 1 - u keeps the logarithm finite.
    const double u = 1.0 - uniform();
    const double v = uniform();
    return mean + sigma * std::sqrt(-2.0 * std::log(u)) * std::cos(kTwoPi * v);
}

double strikeAmplitude(double force) {
    return 0.001 * std::pow(200.0, std::clamp(force, 0.0, 1.0));
}

TypingSession typeDemoText(Random& random, double startSeconds) {
    const std::vector<Stroke> strokes = strokesOf();
    TypingSession session;
    struct Up {
        double time;
        std::uint16_t code;
    };
    std::vector<Up> ups;
    std::vector<std::pair<double, double>> shiftHeld; // [press, release] in seconds
    std::map<std::uint16_t, double> lastUp;

    auto addStrike = [&](double keyTime, std::uint16_t code, TraceKeyKind kind, double force,
                         char position) {
        Strike s;
        s.keyTime = toTicks(keyTime);
        s.code = code;
        s.kind = kind;
        s.force = roundTo(std::clamp(force, 0.0, 1.0), 1e-4);
        s.amplitude = strikeAmplitude(s.force);
        s.onsetSeconds = double(s.keyTime) * 1e-9 + random.uniform(0.0005, 0.0035);
        double column = 0, row = 0;
        keyPosition(position, column, row);
        const double x = (column - 5.0) * 0.02, y = (1.5 - row) * 0.03, z = -1.0;
        const double norm = std::sqrt(x * x + y * y + z * z);
        s.direction[0] = x / norm;
        s.direction[1] = y / norm;
        s.direction[2] = z / norm;
        session.strikes.push_back(s);
    };

    double previous = startSeconds; // time of the last key down (or release of a held key)
    char previousChar = 0;
    bool inCapitals = false;
    double lastCapitalDown = 0.0;
    for (std::size_t i = 0; i < strokes.size(); ++i) {
        const Stroke& stroke = strokes[i];
        const std::uint16_t code = keyCode(stroke.c);
        double interval =
            std::clamp(std::exp(random.normal(0.0, 0.25)) / stroke.keysPerSecond, 0.045, 0.6);
        if (previousChar == ',') {
            interval += random.uniform(0.12, 0.25);
        } else if (previousChar == '.') {
            interval += random.uniform(0.25, 0.45);
        } else if (previousChar == '\n') {
            interval += random.uniform(0.45, 0.75);
        }
        if (stroke.c == '<' && previousChar != '<') {
            interval += random.uniform(0.2, 0.35); // noticing the typo
        }
        const bool capital = std::isupper(static_cast<unsigned char>(stroke.c)) != 0;
        double shiftLead = 0.0;
        if (capital && !inCapitals) {
            shiftLead = random.uniform(0.05, 0.09);
            interval = std::max(interval, shiftLead + 0.05);
        }
        double down = previous + interval;
        if (const auto it = lastUp.find(code); it != lastUp.end()) {
            down = std::max(down, it->second + 0.012); // a key cannot go down while down
        }
        if (inCapitals && !capital) {
            const double release = std::clamp(lastCapitalDown + random.uniform(0.04, 0.08),
                                              lastCapitalDown + 0.02, down - 0.015);
            shiftHeld.back().second = release;
            session.keys.push_back({toTicks(release), {TraceKeyKind::flags, kLeftShift, 0, false}});
            inCapitals = false;
        }
        if (capital && !inCapitals) {
            const double press = down - shiftLead;
            shiftHeld.emplace_back(press, 1e9);
            session.keys.push_back(
                {toTicks(press), {TraceKeyKind::flags, kLeftShift, kFlagShift, false}});
            addStrike(press, kLeftShift, TraceKeyKind::flags,
                      stroke.force - 0.1 + random.normal(0.0, 0.05), 'z');
            inCapitals = true;
        }
        if (capital) {
            lastCapitalDown = down;
        }

        double bias = 0.0;
        if (stroke.c == ' ') {
            bias = 0.05;
        } else if (stroke.c == '\n') {
            bias = 0.1;
        } else if (stroke.c == '<') {
            bias = 0.05;
        }
        const std::uint32_t flags = capital ? kFlagShift : 0;
        session.keys.push_back({toTicks(down), {TraceKeyKind::down, code, flags, false}});
        addStrike(down, code, TraceKeyKind::down, stroke.force + bias + random.normal(0.0, 0.07),
                  stroke.c);

        double hold = stroke.c == ' ' ? random.uniform(0.08, 0.13) : random.uniform(0.065, 0.12);
        if (stroke.held) {
            hold = 1.15;
            // The system's autorepeat: 500 ms delay, then 30 repeats a second.
            for (double at = down + 0.5; at < down + hold - 0.005; at += 1.0 / 30.0) {
                session.keys.push_back({toTicks(at), {TraceKeyKind::down, code, flags, true}});
            }
        }
        ups.push_back({down + hold, code});
        lastUp[code] = down + hold;
        previous = stroke.held ? down + hold : down;
        previousChar = stroke.c;
    }
    if (inCapitals) {
        const double release = lastCapitalDown + 0.06;
        shiftHeld.back().second = release;
        session.keys.push_back({toTicks(release), {TraceKeyKind::flags, kLeftShift, 0, false}});
    }
    // A key-up carries the modifiers held at that moment.
    for (const Up& up : ups) {
        std::uint32_t flags = 0;
        for (const auto& [press, release] : shiftHeld) {
            if (press <= up.time && up.time < release) {
                flags = kFlagShift;
            }
        }
        session.keys.push_back({toTicks(up.time), {TraceKeyKind::up, up.code, flags, false}});
    }
    std::stable_sort(session.keys.begin(), session.keys.end(),
                     [](const TimedKey& a, const TimedKey& b) { return a.t < b.t; });
    std::stable_sort(session.strikes.begin(), session.strikes.end(),
                     [](const Strike& a, const Strike& b) { return a.keyTime < b.keyTime; });
    return session;
}

} // namespace clavio::demo
