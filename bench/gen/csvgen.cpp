// Deterministic generator of the benchmark's CSV inputs.
//
//   csvgen DATASET BYTES SEED OUT      (OUT "-" writes to standard output)
//
// Datasets: trips (taxi-like trip records, numeric and categorical), weblog
// (web access log), wide (100 columns of small integers), text (short posts
// with multi-byte UTF-8 in eight scripts). Rows are written until the output
// holds at least BYTES bytes; the row count goes to standard error.
//
// The output depends only on (DATASET, SEED) and BYTES: the random source is
// a splitmix64 stream, numbers are drawn and printed with integer arithmetic
// only (no floating point, no std:: distributions), so every compiler and
// platform writes the same bytes, and a smaller file is a prefix of a larger
// one with the same seed. No field holds a comma or a quote character, and
// no field has blanks at either end, so readers with or without quoting and
// trimming see the same cells.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

// ---- random source ---------------------------------------------------------

__extension__ typedef unsigned __int128 u128;

class Rng {
public:
    explicit Rng(uint64_t seed) : s_(seed) {}
    uint64_t next() {
        uint64_t z = (s_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [0, n), by multiply-shift (bias below 2^-32, irrelevant here).
    uint64_t below(uint64_t n) {
        return static_cast<uint64_t>((static_cast<u128>(next()) * n) >> 64);
    }
    int64_t range(int64_t lo, int64_t hi) {  // inclusive
        return lo + static_cast<int64_t>(below(static_cast<uint64_t>(hi - lo + 1)));
    }
    bool percent(unsigned p) { return below(100) < p; }
    bool permille(unsigned p) { return below(1000) < p; }
    // Sum of three uniforms: a bell shape on [-spread, spread].
    int64_t bell(int64_t spread) {
        int64_t a = range(-spread, spread), b = range(-spread, spread), c = range(-spread, spread);
        return (a + b + c) / 3;
    }

private:
    uint64_t s_;
};

// Draws indices 0..n-1 with weights proportional to 1 / (k + 1) (skew 1) or
// 1 / sqrt(k + 1) (skew 1/2), from a cumulative table of integer weights.
class Zipf {
public:
    enum Skew { kOne, kHalf };
    Zipf(size_t n, Skew skew) {
        cum_.reserve(n);
        uint64_t total = 0;
        for (size_t k = 0; k < n; ++k) {
            const uint64_t x = k + 1;
            // 2^40 / x, or 2^40 / sqrt(x) = 2^50 / sqrt(x * 2^20).
            total += skew == kOne ? (uint64_t{1} << 40) / x : (uint64_t{1} << 50) / isqrt(x << 20);
            cum_.push_back(total);
        }
    }
    size_t operator()(Rng& r) const {
        uint64_t u = r.below(cum_.back());
        return static_cast<size_t>(std::upper_bound(cum_.begin(), cum_.end(), u) - cum_.begin());
    }
    size_t size() const { return cum_.size(); }

private:
    static uint64_t isqrt(uint64_t v) {
        uint64_t r = 0, bit = uint64_t{1} << 62;
        while (bit > v) bit >>= 2;
        while (bit) {
            if (v >= r + bit) {
                v -= r + bit;
                r = (r >> 1) + bit;
            } else {
                r >>= 1;
            }
            bit >>= 2;
        }
        return r;
    }
    std::vector<uint64_t> cum_;
};

// ---- output ----------------------------------------------------------------

class Out {
public:
    explicit Out(FILE* f) : f_(f) { buf_.reserve(kCap + 4096); }
    ~Out() { flush(); }
    void flush() {
        if (!buf_.empty()) {
            if (std::fwrite(buf_.data(), 1, buf_.size(), f_) != buf_.size()) {
                std::perror("csvgen: write");
                std::exit(1);
            }
            written_ += buf_.size();
            buf_.clear();
        }
    }
    uint64_t size() const { return written_ + buf_.size(); }
    void end_row() {
        buf_.push_back('\n');
        if (buf_.size() >= kCap) flush();
    }
    void s(std::string_view v) { buf_.append(v); }
    void c(char ch) { buf_.push_back(ch); }
    void comma() { buf_.push_back(','); }
    void u(uint64_t v) {
        char tmp[20];
        int n = 0;
        do {
            tmp[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v);
        while (n) buf_.push_back(tmp[--n]);
    }
    void i(int64_t v) {
        if (v < 0) {
            buf_.push_back('-');
            u(static_cast<uint64_t>(-v));
        } else {
            u(static_cast<uint64_t>(v));
        }
    }
    // v / 10^digits with exactly `digits` decimals.
    void fixed(int64_t v, int digits) {
        if (v < 0) {
            buf_.push_back('-');
            v = -v;
        }
        uint64_t p = 1;
        for (int k = 0; k < digits; ++k) p *= 10;
        u(static_cast<uint64_t>(v) / p);
        buf_.push_back('.');
        uint64_t frac = static_cast<uint64_t>(v) % p;
        for (uint64_t q = p / 10; q; q /= 10) {
            buf_.push_back(static_cast<char>('0' + frac / q));
            frac %= q;
        }
    }
    void two(unsigned v) {
        buf_.push_back(static_cast<char>('0' + v / 10));
        buf_.push_back(static_cast<char>('0' + v % 10));
    }
    // Seconds since 1970 as "YYYY-MM-DD<sep>HH:MM:SS".
    void datetime(int64_t t, char sep) {
        int64_t days = t / 86400, secs = t % 86400;
        // Civil date from days since the epoch (proleptic Gregorian).
        int64_t z = days + 719468;
        int64_t era = z / 146097;
        int64_t doe = z - era * 146097;
        int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
        int64_t y = yoe + era * 400;
        int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
        int64_t mp = (5 * doy + 2) / 153;
        int64_t d = doy - (153 * mp + 2) / 5 + 1;
        int64_t m = mp < 10 ? mp + 3 : mp - 9;
        if (m <= 2) ++y;
        u(static_cast<uint64_t>(y));
        c('-');
        two(static_cast<unsigned>(m));
        c('-');
        two(static_cast<unsigned>(d));
        c(sep);
        two(static_cast<unsigned>(secs / 3600));
        c(':');
        two(static_cast<unsigned>(secs / 60 % 60));
        c(':');
        two(static_cast<unsigned>(secs % 60));
    }
    void hex(uint64_t v, int digits) {
        static const char* h = "0123456789abcdef";
        for (int k = digits - 1; k >= 0; --k) buf_.push_back(h[(v >> (4 * k)) & 15]);
    }

private:
    static constexpr size_t kCap = 8u << 20;
    FILE* f_;
    std::string buf_;
    uint64_t written_ = 0;
};

template <size_t N>
std::string_view pick(Rng& r, const std::string_view (&list)[N]) {
    return list[r.below(N)];
}

// ---- trips -----------------------------------------------------------------

constexpr std::string_view kZones[] = {
    "Upper East Side South", "Midtown Center", "Upper East Side North", "Midtown East",
    "Times Sq/Theatre District", "Lincoln Square East", "Murray Hill", "Union Sq",
    "Penn Station/Madison Sq West", "Clinton East", "East Village", "Gramercy",
    "Upper West Side South", "East Chelsea", "Midtown North", "LaGuardia Airport",
    "JFK Airport", "West Village", "Lenox Hill West", "Yorkville West", "Sutton Place/Turtle Bay North",
    "Greenwich Village North", "Financial District North", "Upper West Side North",
    "Kips Bay", "Lower East Side", "TriBeCa/Civic Center", "Flatiron", "Hudson Sq",
    "Meatpacking/West Village West", "Battery Park City", "Chinatown", "Little Italy/NoLiTa",
    "Williamsburg (North Side)", "Astoria", "Long Island City/Hunters Point", "Park Slope",
    "Harlem South", "Central Park", "Newark Airport"};

void gen_trips(Out& o, Rng& r, uint64_t target) {
    o.s("vendor_id,pickup_datetime,dropoff_datetime,passenger_count,trip_distance,"
        "pickup_longitude,pickup_latitude,rate_code,store_and_fwd_flag,dropoff_longitude,"
        "dropoff_latitude,payment_type,fare_amount,extra,mta_tax,tip_amount,tolls_amount,"
        "total_amount,pickup_zone,dropoff_zone");
    o.end_row();
    const Zipf zone(std::size(kZones), Zipf::kOne);
    int64_t t = 1420070400;  // 2015-01-01 00:00:00
    uint64_t rows = 0;
    while (o.size() < target) {
        ++rows;
        t += static_cast<int64_t>(r.below(3));  // about one trip every second
        uint64_t v = r.below(100);
        o.s(v < 52 ? "VTS" : v < 97 ? "CMT" : "DDS");
        o.comma();
        // Duration: mostly short, a long tail.
        int64_t dur = 90 + r.range(0, 600) + (r.percent(30) ? r.range(0, 1500) : 0) +
                      (r.percent(3) ? r.range(0, 4000) : 0);
        o.datetime(t, ' ');
        o.comma();
        o.datetime(t + dur, ' ');
        o.comma();
        v = r.below(100);
        o.u(v < 70 ? 1 : v < 84 ? 2 : v < 89 ? 5 : v < 93 ? 3 : v < 97 ? 6 : 4);
        o.comma();
        int64_t mph = r.range(4, 28);
        int64_t dist = dur * mph * 100 / 3600;  // hundredths of a mile
        o.fixed(dist, 2);
        o.comma();
        bool bad_gps = r.permille(15);
        int64_t plon = -73982000 + r.bell(40000), plat = 40755000 + r.bell(50000);
        int64_t dlon = plon + r.bell(30000), dlat = plat + r.bell(40000);
        if (bad_gps) {
            o.s("0.000000,0.000000");
        } else {
            o.fixed(plon, 6);
            o.comma();
            o.fixed(plat, 6);
        }
        o.comma();
        v = r.below(1000);
        int64_t rate = v < 970 ? 1 : v < 990 ? 2 : v < 996 ? 5 : 3;
        o.u(static_cast<uint64_t>(rate));
        o.comma();
        o.c(r.permille(8) ? 'Y' : 'N');
        o.comma();
        if (bad_gps) {
            o.s("0.000000,0.000000");
        } else {
            o.fixed(dlon, 6);
            o.comma();
            o.fixed(dlat, 6);
        }
        o.comma();
        v = r.below(100);
        bool card = v < 62;
        o.s(card ? "CRD" : v < 98 ? "CSH" : v < 99 ? "NOC" : "DIS");
        o.comma();
        int64_t fare = rate == 2 ? 5200 : 250 + dist * 250 / 100 + dur * 50 / 120;  // cents
        fare = fare / 50 * 50;
        int64_t hour = t % 86400 / 3600;
        int64_t extra = hour >= 20 ? 50 : (hour >= 16 && hour < 20) ? 100 : 0;
        int64_t tax = 50;
        int64_t tip = card ? fare * r.range(0, 30) / 100 : 0;
        int64_t tolls = r.percent(5) ? 533 : 0;
        o.fixed(fare, 2);
        o.comma();
        o.fixed(extra, 2);
        o.comma();
        o.fixed(tax, 2);
        o.comma();
        o.fixed(tip, 2);
        o.comma();
        o.fixed(tolls, 2);
        o.comma();
        o.fixed(fare + extra + tax + tip + tolls + 30, 2);
        o.comma();
        o.s(kZones[zone(r)]);
        o.comma();
        o.s(kZones[zone(r)]);
        o.end_row();
    }
    std::fprintf(stderr, "%llu\n", static_cast<unsigned long long>(rows));
}

// ---- weblog ----------------------------------------------------------------

constexpr std::string_view kAgents[] = {
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML like Gecko) Chrome/120.0.0.0 Safari/537.36",
    "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML like Gecko) Version/17.1 Safari/605.1.15",
    "Mozilla/5.0 (iPhone; CPU iPhone OS 17_1 like Mac OS X) AppleWebKit/605.1.15 (KHTML like Gecko) Version/17.1 Mobile/15E148 Safari/604.1",
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64; rv:121.0) Gecko/20100101 Firefox/121.0",
    "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML like Gecko) Chrome/119.0.0.0 Safari/537.36",
    "Mozilla/5.0 (Linux; Android 14; Pixel 8) AppleWebKit/537.36 (KHTML like Gecko) Chrome/120.0.6099.43 Mobile Safari/537.36",
    "Mozilla/5.0 (compatible; Googlebot/2.1; +http://www.google.com/bot.html)",
    "Mozilla/5.0 (compatible; bingbot/2.0; +http://www.bing.com/bingbot.htm)",
    "curl/8.4.0",
    "python-requests/2.31.0",
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML like Gecko) Chrome/120.0.0.0 Safari/537.36 Edg/120.0.0.0",
    "Mozilla/5.0 (iPad; CPU OS 16_6 like Mac OS X) AppleWebKit/605.1.15 (KHTML like Gecko) Version/16.6 Mobile/15E148 Safari/604.1",
    "Mozilla/5.0 (X11; Ubuntu; Linux x86_64; rv:120.0) Gecko/20100101 Firefox/120.0",
    "Go-http-client/1.1",
    "Wget/1.21.4",
    "Mozilla/5.0 (Linux; Android 13; SM-S918B) AppleWebKit/537.36 (KHTML like Gecko) Chrome/119.0.0.0 Mobile Safari/537.36",
};

constexpr std::string_view kWords[] = {
    "shoes", "laptop", "coffee", "garden", "bike", "camera", "phone", "desk", "lamp", "chair",
    "book", "guitar", "tent", "watch", "jacket", "kettle", "printer", "monitor", "sofa", "drill"};

constexpr std::string_view kReferrers[] = {
    "https://www.google.com/", "https://www.bing.com/search", "https://duckduckgo.com/",
    "https://news.ycombinator.com/item", "https://t.co/x7kq2", "https://shop.example.com/cart",
    "https://shop.example.com/products", "https://shop.example.com/"};

void gen_weblog(Out& o, Rng& r, uint64_t target) {
    o.s("ip,timestamp,method,path,status,bytes,referrer,user_agent,response_ms");
    o.end_row();
    const Zipf client(50000, Zipf::kOne), agent(std::size(kAgents), Zipf::kOne),
        product(20000, Zipf::kHalf), word(std::size(kWords), Zipf::kOne);
    // Client addresses: a fixed table drawn from the stream.
    std::vector<uint32_t> ips(client.size());
    for (auto& ip : ips) ip = static_cast<uint32_t>(r.next());
    int64_t t = 1709251200;  // 2024-03-01 00:00:00
    uint64_t rows = 0;
    while (o.size() < target) {
        ++rows;
        if (r.percent(40)) ++t;
        size_t who = client(r);
        uint32_t ip = ips[who];
        o.u(ip >> 24 | 1);
        o.c('.');
        o.u(ip >> 16 & 255);
        o.c('.');
        o.u(ip >> 8 & 255);
        o.c('.');
        o.u((ip & 255) | 1);
        o.comma();
        o.datetime(t, 'T');
        o.c('Z');
        o.comma();
        uint64_t v = r.below(100);
        bool post = v >= 85 && v < 95;
        o.s(v < 85 ? "GET" : post ? "POST" : v < 97 ? "HEAD" : v < 99 ? "PUT" : "DELETE");
        o.comma();
        uint64_t size;
        bool asset = false;
        switch (r.below(10)) {
            case 0:
                o.s("/");
                size = 18000 + r.below(2000);
                break;
            case 1:
            case 2:
                o.s(r.percent(50) ? "/static/css/main." : "/static/js/app.");
                o.hex(r.below(16), 8);  // a few deploy hashes
                o.s(r.percent(50) ? ".css" : ".js");
                size = 40000 + r.below(200000);
                asset = true;
                break;
            case 3:
            case 4:
                o.s("/api/v1/users/");
                o.u(100000 + who);
                if (r.percent(50)) o.s("/orders");
                size = 200 + r.below(4000);
                break;
            case 5:
            case 6:
                o.s("/products/");
                o.u(product(r));
                if (r.percent(30)) {
                    o.s("?page=");
                    o.u(1 + r.below(5));
                    o.s("&sort=price");
                }
                size = 9000 + r.below(30000);
                break;
            case 7:
                o.s("/search?q=");
                o.s(kWords[word(r)]);
                o.c('+');
                o.s(kWords[word(r)]);
                size = 12000 + r.below(20000);
                break;
            default:
                o.s("/images/");
                o.u(product(r));
                o.s(r.percent(70) ? ".jpg" : ".webp");
                size = 20000 + r.below(400000);
                asset = true;
                break;
        }
        o.comma();
        v = r.below(1000);
        unsigned status = v < 860 ? 200 : v < 930 ? (asset ? 304 : 200) : v < 960 ? 404
                        : v < 975 ? 301 : v < 985 ? 302 : v < 992 ? (post ? 201 : 200)
                        : v < 997 ? 500 : 503;
        o.u(status);
        o.comma();
        o.u(status == 304 || status >= 500 ? 0 : status == 404 ? 512 : size);
        o.comma();
        if (r.percent(40)) {
            o.c('-');
        } else {
            o.s(pick(r, kReferrers));
        }
        o.comma();
        o.s(kAgents[agent(r)]);
        o.comma();
        int64_t ms = 800 + r.range(0, 30000) + (r.percent(10) ? r.range(0, 400000) : 0);
        o.fixed(asset ? ms / 10 : ms, 3);
        o.end_row();
    }
    std::fprintf(stderr, "%llu\n", static_cast<unsigned long long>(rows));
}

// ---- wide ------------------------------------------------------------------

void gen_wide(Out& o, Rng& r, uint64_t target) {
    constexpr int kCols = 100;
    for (int k = 0; k < kCols; ++k) {
        if (k) o.comma();
        o.c('c');
        o.c(static_cast<char>('0' + k / 100));
        o.c(static_cast<char>('0' + k / 10 % 10));
        o.c(static_cast<char>('0' + k % 10));
    }
    o.end_row();
    // Each column has its own shape: uniform over 2..1000 values, skewed,
    // nearly constant, or a slowly moving level.
    int64_t level[kCols] = {};
    uint64_t rows = 0;
    while (o.size() < target) {
        ++rows;
        for (int k = 0; k < kCols; ++k) {
            if (k) o.comma();
            int64_t v;
            switch (k % 5) {
                case 0:  // uniform, 2 to 1000 values
                    v = static_cast<int64_t>(r.below(static_cast<uint64_t>(k % 3 == 0 ? 2 + k / 5 : 10 * (k / 5 + 1))));
                    break;
                case 1: {  // skewed towards zero
                    uint64_t x = r.next();
                    v = std::min<int64_t>(static_cast<int64_t>(__builtin_ctzll(x | (1ull << 40))), 40) * (k / 5 + 1);
                    break;
                }
                case 2:  // nearly constant
                    v = r.permille(20) ? static_cast<int64_t>(r.below(100)) : k;
                    break;
                case 3:  // a level that drifts
                    level[k] += r.range(-1, 1);
                    level[k] = std::clamp<int64_t>(level[k], 0, 255);
                    v = level[k];
                    break;
                default:  // bell around 50
                    v = 50 + r.bell(49);
                    break;
            }
            o.i(v);
        }
        o.end_row();
    }
    std::fprintf(stderr, "%llu\n", static_cast<unsigned long long>(rows));
}

// ---- text ------------------------------------------------------------------

struct Language {
    std::string_view code;
    bool spaces;  // words separated by blanks
    std::vector<std::string_view> words;
};

std::vector<std::string_view> split(std::string_view s) {
    std::vector<std::string_view> out;
    size_t p = 0;
    while (p < s.size()) {
        size_t q = s.find(' ', p);
        if (q == std::string_view::npos) q = s.size();
        if (q > p) out.push_back(s.substr(p, q - p));
        p = q + 1;
    }
    return out;
}

std::vector<Language> languages() {
    return {
        {"en", true, split("the of and to in is it that for you was with on as have be at not this but "
                           "from they his her by or we an will my one all would there their what so up out "
                           "if about who get which go me when make can like time just him know take people "
                           "into year your good some could them see other than then now look only come its "
                           "over think also back after use two how our work first well way even new want "
                           "because any these give day most us coffee weather train station morning river "
                           "market garden window yesterday tomorrow really great small city music")},
        {"de", true, split("der die und in den von zu das mit sich des auf für ist im dem nicht ein eine als "
                           "auch es an werden aus er hat dass sie nach wird bei einer um am sind noch wie "
                           "einem über einen so zum war haben nur oder aber vor zur bis mehr durch man "
                           "Straße Größe schön früh Bäcker Mädchen Frühstück Brücke Übung Käse Grüße müssen "
                           "können wäre hätte natürlich Gemüse Tür Zug Bahnhof Wetter heute morgen")},
        {"fr", true, split("le de un être et à il avoir ne je son que se qui ce dans en du elle au pour pas "
                           "que vous par sur faire plus dire me on mon lui nous comme mais pouvoir avec tout "
                           "très été déjà où ça là voilà français café élève école fenêtre hôpital garçon "
                           "forêt château crème pâtisserie à bientôt mère père frère sœur cœur œuvre")},
        {"es", true, split("el la de que y a en un ser se no haber por con su para como estar tener le lo "
                           "todo pero más hacer o poder decir este ir otro ese si me ya ver porque dar "
                           "cuando él muy sin vez mucho saber qué sobre mañana año niño señor canción "
                           "corazón jamón pequeño además también aquí allí después ¿cómo ¡hola")},
        {"ru", true, split("и в не на я быть он с что а по это она этот к но они мы как из у который то за "
                           "свой весь год от так о для ты же все тот мочь вы человек такой его сказать "
                           "только или ещё бы себя один как уже до время если сам когда другой вот "
                           "говорить наш мой знать стать при чтобы дело жизнь первый день погода город")},
        {"el", true, split("και το να η του ο με σε την για τα που δεν θα είναι από τη τον στο ένα των τις "
                           "στην μου αλλά στη ότι μια όταν σου πολύ καλημέρα ευχαριστώ θάλασσα ήλιος "
                           "καφές σπίτι δρόμος φίλος σήμερα αύριο χθες νερό βιβλίο μουσική")},
        {"ja", false, split("私 は 今日 天気 が とても 良い です 東京 駅 で 友達 と 会い ました コーヒー を "
                            "飲み 新しい 本 読み たい ですね 電車 遅れ て います 明日 雨 かも しれ ません "
                            "ラーメン 美味しい 週末 映画 見 行き ます 仕事 忙しい 猫 かわいい の に")},
        {"zh", false, split("我 你 他 的 是 在 了 不 和 有 这 个 们 中 大 来 上 国 到 说 时 要 就 出 会 也 "
                            "对 生 能 而 子 那 得 于 着 下 自 之 年 过 发 后 作 里 用 道 行 所 然 家 种 事 成 "
                            "今天 天气 很 好 咖啡 北京 上海 朋友 工作 学习 喜欢 音乐 电影 地铁")},
    };
}

constexpr std::string_view kEmoji[] = {"😀", "😂", "👍", "🎉", "❤️", "🔥", "🙏", "😅", "🚆", "☕"};
constexpr std::string_view kSyllables[] = {"ka", "ri", "to", "mo", "sa", "lu", "ne", "xi", "po", "da",
                                           "fe", "gu", "zo", "bi", "ha", "ny", "qu", "we", "el", "an"};

void gen_text(Out& o, Rng& r, uint64_t target) {
    o.s("id,lang,author,posted_at,likes,text");
    o.end_row();
    const std::vector<Language> langs = languages();
    // Language mix: English most, the others less.
    const unsigned lang_weights[] = {40, 12, 10, 10, 10, 6, 6, 6};
    std::vector<Zipf> word_of;
    for (const Language& l : langs) word_of.emplace_back(l.words.size(), Zipf::kOne);
    const Zipf author(200000, Zipf::kHalf);
    int64_t t = 1704067200;  // 2024-01-01 00:00:00
    uint64_t rows = 0;
    while (o.size() < target) {
        ++rows;
        o.u(rows);
        o.comma();
        uint64_t v = r.below(100), acc = 0;
        size_t li = 0;
        for (; li + 1 < langs.size(); ++li) {
            acc += lang_weights[li];
            if (v < acc) break;
        }
        const Language& l = langs[li];
        o.s(l.code);
        o.comma();
        size_t a = author(r);
        // Author handle: three syllables and a number, fixed per author.
        Rng ar(a * 0x9E3779B97F4A7C15ull + 17);
        for (int k = 0; k < 3; ++k) o.s(kSyllables[ar.below(std::size(kSyllables))]);
        o.c('_');
        o.u(a % 1000);
        o.comma();
        t += static_cast<int64_t>(r.below(4));
        o.datetime(t, ' ');
        o.comma();
        uint64_t x = r.next();
        o.u(x & 1 ? 0 : (x >> 1) % (1u << (x >> 60)));
        o.comma();
        size_t n = 4 + r.below(r.percent(20) ? 60 : 20);
        for (size_t k = 0; k < n; ++k) {
            if (k && l.spaces) o.c(' ');
            o.s(l.words[word_of[li](r)]);
            if (k + 1 < n && r.percent(8)) o.s(l.spaces ? "." : "。");
        }
        v = r.below(10);
        o.s(l.spaces ? (v < 7 ? "." : v < 9 ? "!" : "?") : (v < 7 ? "。" : v < 9 ? "！" : "？"));
        if (r.percent(12)) {
            o.c(' ');
            o.s(pick(r, kEmoji));
        }
        o.end_row();
    }
    std::fprintf(stderr, "%llu\n", static_cast<unsigned long long>(rows));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: csvgen trips|weblog|wide|text BYTES SEED OUT\n");
        return 2;
    }
    const std::string dataset = argv[1];
    const uint64_t target = std::strtoull(argv[2], nullptr, 10);
    const uint64_t seed = std::strtoull(argv[3], nullptr, 10);
    FILE* f = std::strcmp(argv[4], "-") == 0 ? stdout : std::fopen(argv[4], "wb");
    if (!f) {
        std::perror(argv[4]);
        return 1;
    }
    // Each dataset has its own stream, so the same seed gives unrelated files.
    uint64_t salt = 0;
    for (char ch : dataset) salt = salt * 131 + static_cast<unsigned char>(ch);
    Rng rng(seed * 0xD1B54A32D192ED03ull ^ salt);
    {
        Out out(f);
        if (dataset == "trips") {
            gen_trips(out, rng, target);
        } else if (dataset == "weblog") {
            gen_weblog(out, rng, target);
        } else if (dataset == "wide") {
            gen_wide(out, rng, target);
        } else if (dataset == "text") {
            gen_text(out, rng, target);
        } else {
            std::fprintf(stderr, "csvgen: unknown dataset %s\n", dataset.c_str());
            return 2;
        }
    }
    if (std::fflush(f) != 0 || (f != stdout && std::fclose(f) != 0)) {
        std::perror("csvgen: close");
        return 1;
    }
    return 0;
}
