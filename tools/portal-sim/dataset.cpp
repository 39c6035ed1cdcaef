#include "tools/portal-sim/dataset.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace simdata {
namespace {

// ---------------------------------------------------------------------------------------------
// Deterministic randomness: every value comes from a stream keyed by (seed, purpose, index).

constexpr std::uint64_t Mix(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

enum Tag : std::uint64_t {
  kTagRegion = 1,
  kTagOrgGuid,
  kTagOrgPlace,
  kTagCard,
  kTagAdditional,
  kTagHouses,
  kTagHouse,
  kTagSpread,
  kTagMutate,
};

std::uint64_t Key(std::uint64_t seed, Tag tag, std::uint64_t a, std::uint64_t b = 0) {
  return Mix(Mix(Mix(seed ^ Mix(tag)) ^ a) + Mix(b ^ 0x5bd1e995ULL));
}

class Rng {
 public:
  explicit Rng(std::uint64_t key) : s_(key) {}
  std::uint64_t Next() {
    s_ += 0x9e3779b97f4a7c15ULL;
    return Mix(s_);
  }
  int Range(int lo, int hi) { return lo + static_cast<int>(Next() % static_cast<std::uint64_t>(hi - lo + 1)); }
  bool Permille(int p) { return static_cast<int>(Next() % 1000) < p; }
  int Percent() { return static_cast<int>(Next() % 100); }
  template <typename T, std::size_t N>
  const T& Pick(const std::array<T, N>& a) { return a[Next() % N]; }

 private:
  std::uint64_t s_;
};

std::string Guid(std::uint64_t hi, std::uint64_t lo) {
  // Shaped like a random (version 4) GUID.
  hi = (hi & 0xffffffffffff0fffULL) | 0x0000000000004000ULL;
  lo = (lo & 0x3fffffffffffffffULL) | 0x8000000000000000ULL;
  char buf[40];
  std::snprintf(buf, sizeof buf, "%08llx-%04llx-%04llx-%04llx-%012llx",
                static_cast<unsigned long long>(hi >> 32),
                static_cast<unsigned long long>((hi >> 16) & 0xffff),
                static_cast<unsigned long long>(hi & 0xffff),
                static_cast<unsigned long long>(lo >> 48),
                static_cast<unsigned long long>(lo & 0xffffffffffffULL));
  return buf;
}

std::string Digits(Rng& r, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += static_cast<char>('0' + r.Range(0, 9));
  return s;
}

std::string Two(int v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02d", v);
  return buf;
}

// ---------------------------------------------------------------------------------------------
// A tiny JSON writer: enough for these answers, byte-exact and fast.

void Esc(std::string& out, std::string_view s) {
  out += '"';
  for (char c : s) {
    auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (u < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", u);
          out += buf;
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

// Appends ,"name": (the comma only when something precedes inside the object).
void Name(std::string& out, std::string_view name) {
  if (!out.empty() && out.back() != '{' && out.back() != '[') out += ',';
  Esc(out, name);
  out += ':';
}
void StrMember(std::string& out, std::string_view name, std::string_view v) {
  Name(out, name);
  Esc(out, v);
}
void RawMember(std::string& out, std::string_view name, std::string_view raw) {
  Name(out, name);
  out += raw;
}

// ---------------------------------------------------------------------------------------------
// Word lists.

struct RegionRow {
  const char* code;
  const char* name;
};
constexpr std::array<RegionRow, 85> kRegionTable = {{
    {"01", "Республика Адыгея"}, {"02", "Республика Башкортостан"}, {"03", "Республика Бурятия"},
    {"04", "Республика Алтай"}, {"05", "Республика Дагестан"}, {"06", "Республика Ингушетия"},
    {"07", "Кабардино-Балкарская Республика"}, {"08", "Республика Калмыкия"},
    {"09", "Карачаево-Черкесская Республика"}, {"10", "Республика Карелия"},
    {"11", "Республика Коми"}, {"12", "Республика Марий Эл"}, {"13", "Республика Мордовия"},
    {"14", "Республика Саха (Якутия)"}, {"15", "Республика Северная Осетия - Алания"},
    {"16", "Республика Татарстан"}, {"17", "Республика Тыва"}, {"18", "Удмуртская Республика"},
    {"19", "Республика Хакасия"}, {"20", "Чеченская Республика"}, {"21", "Чувашская Республика"},
    {"22", "Алтайский край"}, {"23", "Краснодарский край"}, {"24", "Красноярский край"},
    {"25", "Приморский край"}, {"26", "Ставропольский край"}, {"27", "Хабаровский край"},
    {"28", "Амурская область"}, {"29", "Архангельская область"}, {"30", "Астраханская область"},
    {"31", "Белгородская область"}, {"32", "Брянская область"}, {"33", "Владимирская область"},
    {"34", "Волгоградская область"}, {"35", "Вологодская область"}, {"36", "Воронежская область"},
    {"37", "Ивановская область"}, {"38", "Иркутская область"}, {"39", "Калининградская область"},
    {"40", "Калужская область"}, {"41", "Камчатский край"}, {"42", "Кемеровская область - Кузбасс"},
    {"43", "Кировская область"}, {"44", "Костромская область"}, {"45", "Курганская область"},
    {"46", "Курская область"}, {"47", "Ленинградская область"}, {"48", "Липецкая область"},
    {"49", "Магаданская область"}, {"50", "Московская область"}, {"51", "Мурманская область"},
    {"52", "Нижегородская область"}, {"53", "Новгородская область"}, {"54", "Новосибирская область"},
    {"55", "Омская область"}, {"56", "Оренбургская область"}, {"57", "Орловская область"},
    {"58", "Пензенская область"}, {"59", "Пермский край"}, {"60", "Псковская область"},
    {"61", "Ростовская область"}, {"62", "Рязанская область"}, {"63", "Самарская область"},
    {"64", "Саратовская область"}, {"65", "Сахалинская область"}, {"66", "Свердловская область"},
    {"67", "Смоленская область"}, {"68", "Тамбовская область"}, {"69", "Тверская область"},
    {"70", "Томская область"}, {"71", "Тульская область"}, {"72", "Тюменская область"},
    {"73", "Ульяновская область"}, {"74", "Челябинская область"}, {"75", "Забайкальский край"},
    {"76", "Ярославская область"}, {"77", "г. Москва"}, {"78", "г. Санкт-Петербург"},
    {"79", "Еврейская автономная область"}, {"83", "Ненецкий автономный округ"},
    {"86", "Ханты-Мансийский автономный округ - Югра"}, {"87", "Чукотский автономный округ"},
    {"89", "Ямало-Ненецкий автономный округ"}, {"91", "Республика Крым"}, {"92", "г. Севастополь"},
}};

constexpr std::array<const char*, 24> kCompanyWords = {
    "ЖИЛКОМСЕРВИС", "ДОМОУПРАВЛЕНИЕ", "УЮТНЫЙ ДОМ", "КОМФОРТ", "ЖИЛФОНД", "СЕВЕРНЫЙ КВАРТАЛ",
    "ЦЕНТРАЛЬНАЯ", "РЕМЖИЛСТРОЙ", "ГОРОДСКОЙ ДОМ", "НАШ ДОМ", "СОДРУЖЕСТВО", "ПРОГРЕСС",
    "ЮЖНАЯ", "ВОСТОК", "ЗАРЯ", "ПАРТНЁР", "ЭНЕРГИЯ", "СТАНДАРТ", "ГАРАНТ", "ПРЕМЬЕР",
    "ЖИЛСЕРВИС-ПЛЮС", "ДОМ & СЕРВИС", "ЁЛОЧКА", "ЛИДЕР"};

constexpr std::array<const char*, 16> kCities = {
    "Заречный", "Октябрьский", "Первомайский", "Северск", "Новоград", "Солнечногорск",
    "Лесной", "Приозёрск", "Каменск", "Светлый", "Берёзовский", "Советск", "Южный",
    "Краснознаменск", "Степной", "Озёрск"};

constexpr std::array<const char*, 18> kStreets = {
    "ул. Ленина", "ул. Мира", "ул. Советская", "ул. Садовая", "ул. Молодёжная", "ул. Школьная",
    "ул. Лесная", "пр-кт Гагарина", "ул. Пушкина", "наб. Речная", "ул. Центральная",
    "ул. Заводская", "ул. Новая", "ул. Полевая", "ул. Комсомольская", "пер. Почтовый",
    "б-р Победы", "ул. 8 Марта"};

constexpr std::array<const char*, 14> kLastNames = {
    "Иванов", "Петров", "Смирнов", "Кузнецов", "Попов", "Васильев", "Соколов", "Михайлов",
    "Новиков", "Фёдоров", "Морозов", "Волков", "Алексеев", "Лебедев"};
constexpr std::array<const char*, 10> kFirstNamesM = {
    "Александр", "Сергей", "Андрей", "Дмитрий", "Алексей", "Михаил", "Игорь", "Юрий",
    "Владимир", "Николай"};
constexpr std::array<const char*, 10> kFirstNamesF = {
    "Елена", "Ольга", "Наталья", "Татьяна", "Ирина", "Светлана", "Анна", "Марина",
    "Людмила", "Юлия"};
constexpr std::array<const char*, 8> kMiddleStems = {
    "Александров", "Сергеев", "Андреев", "Викторов", "Иванов", "Петров", "Николаев",
    "Владимиров"};

constexpr std::array<const char*, 8> kPositions = {
    "Директор", "Генеральный директор", "Главный инженер", "Председатель правления",
    "Заместитель директора", "Управляющий", "Мастер участка", "Специалист по работе с жителями"};

constexpr std::array<const char*, 6> kLatin = {"dom", "uk", "jilservis", "komfort", "garant", "zhkh"};

struct Person {
  std::string last, first, middle;
};

Person MakePerson(Rng& r) {
  bool female = r.Permille(400);
  Person p;
  p.last = r.Pick(kLastNames);
  if (female) p.last += "а";
  p.first = female ? r.Pick(kFirstNamesF) : r.Pick(kFirstNamesM);
  p.middle = std::string(r.Pick(kMiddleStems)) + (female ? "на" : "ич");
  return p;
}

std::string Address(Rng& r, const std::string& regionName, bool flatOffice) {
  std::string a = std::to_string(r.Range(100000, 699999)) + ", " + regionName + ", г. " +
                  r.Pick(kCities) + ", " + r.Pick(kStreets) + ", д. " + std::to_string(r.Range(1, 180));
  if (r.Permille(200)) a += ", корп. " + std::to_string(r.Range(1, 5));
  if (flatOffice && r.Permille(500)) a += ", пом. " + std::to_string(r.Range(1, 40));
  return a;
}

std::string Phone(Rng& r) {
  switch (r.Range(0, 3)) {
    case 0: return "+7 (" + std::to_string(r.Range(300, 999)) + ") " + Digits(r, 3) + "-" + Digits(r, 2) + "-" + Digits(r, 2);
    case 1: return "8(" + std::to_string(r.Range(3000, 9999)) + ")" + Digits(r, 2) + "-" + Digits(r, 2) + "-" + Digits(r, 2);
    case 2: return Digits(r, 2) + "-" + Digits(r, 2) + "-" + Digits(r, 2) + ", " + Digits(r, 2) + "-" + Digits(r, 2) + "-" + Digits(r, 2);
    default: return "8" + Digits(r, 10);
  }
}

std::string DayTime(int h, int m) { return "1970-01-01T" + Two(h) + ":" + Two(m) + ":00"; }

std::string Span(const std::string& begin, const std::string& end) {
  std::string o = "{";
  RawMember(o, "beginDate", begin);
  RawMember(o, "endDate", end);
  return o + "}";
}
std::string Quoted(const std::string& s) {
  std::string o;
  Esc(o, s);
  return o;
}

// One day entry. openMode: 0 open, 1 day off (null beginDate), 2 no "openHours", 3 "openHours":null.
// breakMode: 0 break, 1 no "breakHours", 2 break with null beginDate.
std::string DayEntry(int day, int openMode, int from, int to, int breakMode, int bFrom = 13, int bTo = 14,
                     bool withDay = true) {
  std::string o = "{";
  if (withDay) RawMember(o, "dayOfWeek", std::to_string(day));
  if (openMode == 0) RawMember(o, "openHours", Span(Quoted(DayTime(from, 0)), Quoted(DayTime(to, 0))));
  if (openMode == 1) RawMember(o, "openHours", Span("null", "null"));
  if (openMode == 3) RawMember(o, "openHours", "null");
  if (breakMode == 0) RawMember(o, "breakHours", Span(Quoted(DayTime(bFrom, 0)), Quoted(DayTime(bTo, 0))));
  if (breakMode == 2) RawMember(o, "breakHours", Span("null", "null"));
  return o + "}";
}

std::string OfficeWeek(Rng& r) {
  int kind = r.Percent();
  std::string o = "[";
  auto add = [&o](const std::string& e) {
    if (o.size() > 1) o += ',';
    o += e;
  };
  if (kind < 65) {  // Monday to Friday with a lunch break, Saturday off, no Sunday entry
    int from = r.Range(8, 9), to = r.Range(17, 18);
    for (int d = 1; d <= 5; ++d) add(DayEntry(d, 0, from, to, 0));
    add(DayEntry(6, 1, 0, 0, 1));
  } else if (kind < 78) {  // no break at all, Sunday listed as a day off
    for (int d = 1; d <= 5; ++d) add(DayEntry(d, 0, 9, d == 5 ? 16 : 18, 1));
    add(DayEntry(6, 0, 10, 14, 2));
    add(DayEntry(0, 1, 0, 0, 1));
  } else if (kind < 84) {  // unordered entries, a repeated day (the later one wins)
    add(DayEntry(3, 0, 9, 18, 0));
    add(DayEntry(1, 0, 9, 18, 0));
    add(DayEntry(1, 0, 10, 19, 0, 14, 15));
    add(DayEntry(7, 0, 9, 18, 0));  // out of range
  } else if (kind < 88) {  // odd entries: break only, null openHours, no dayOfWeek
    add(DayEntry(2, 2, 0, 0, 0));
    add(DayEntry(4, 3, 0, 0, 1));
    add(DayEntry(0, 0, 11, 15, 1, 13, 14, false));
  }
  // else: empty array
  return o + "]";
}

std::string ReceptionHours(Rng& r) {
  int kind = r.Percent();
  if (kind < 10) return "[]";
  std::string o = "[";
  o += DayEntry(2, 0, r.Range(9, 10), 12, 1);
  o += ',' + DayEntry(4, 0, r.Range(14, 16), 18, 1);
  if (kind < 30) o += ',' + DayEntry(6, 1, 0, 0, 1);
  return o + "]";
}

}  // namespace

std::string AsciiLower(std::string_view s) {
  std::string o(s);
  for (char& c : o)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return o;
}

// ---------------------------------------------------------------------------------------------

Dataset::Dataset(const Config& config) : config_(config) {
  Build();
  baseOrgs_ = static_cast<int>(homeRegion_.size());
  baseTotal_ = houseTotal_;
  if (config_.mutateSeed != 0) Mutate();
}

void Dataset::Build() {
  config_.regions = std::clamp(config_.regions, 0, kMaxRegions);
  config_.orgs = std::clamp(config_.orgs, 0, kMaxOrgs);
  config_.houses = std::clamp<std::int64_t>(config_.houses, 0, kMaxHouses);
  const int nReg = config_.regions;
  const int nOrg = config_.orgs;
  const std::uint64_t seed = config_.seed;

  // Regions: GUIDs are fixed per code so that a saved "cities.txt" stays valid for any seed.
  std::vector<int> weights;
  for (int i = 0; i < nReg; ++i) {
    const auto& row = kRegionTable[static_cast<std::size_t>(i)];
    Rng r(Key(0, kTagRegion, static_cast<std::uint64_t>(std::stoi(row.code))));
    std::uint64_t hi = r.Next(), lo = r.Next();
    regions_.push_back({row.name, row.code, Guid(hi, lo)});
    std::string code = row.code;
    weights.push_back(code == "77" || code == "50" || code == "78" ? 6 : 1 + static_cast<int>(r.Next() % 3));
  }
  int weightSum = 0;
  for (int w : weights) weightSum += w;

  regionOrgs_.assign(static_cast<std::size_t>(nReg), {});
  homeRegion_.assign(static_cast<std::size_t>(nOrg), -1);
  secondRegion_.assign(static_cast<std::size_t>(nOrg), -1);
  houseTotal_.assign(static_cast<std::size_t>(nOrg), 0);
  orgByGuid_.reserve(static_cast<std::size_t>(nOrg) * 2);

  for (int i = 0; i < nOrg; ++i) {
    orgByGuid_.emplace(OrgGuid(i), i);
    if (nReg == 0) continue;
    Rng r(Key(seed, kTagOrgPlace, static_cast<std::uint64_t>(i)));
    int pick = static_cast<int>(r.Next() % static_cast<std::uint64_t>(weightSum));
    int home = 0;
    while (pick >= weights[static_cast<std::size_t>(home)]) pick -= weights[static_cast<std::size_t>(home++)];
    homeRegion_[static_cast<std::size_t>(i)] = home;
    regionOrgs_[static_cast<std::size_t>(home)].push_back(i);
    // A few organisations are listed in a second region too (always org 1, so small sets have one).
    if (nReg > 1 && (i == 1 || r.Permille(10))) {
      int second = (home + 1 + static_cast<int>(r.Next() % static_cast<std::uint64_t>(nReg - 1))) % nReg;
      secondRegion_[static_cast<std::size_t>(i)] = second;
      regionOrgs_[static_cast<std::size_t>(second)].push_back(i);
    }
  }

  // Houses: some organisations manage none, a few manage more than 1000 (several pages), the
  // rest share what is left by weight; the totals add up exactly to Config::houses.
  std::int64_t left = config_.houses;
  if (nOrg == 0) return;
  std::vector<char> zero(static_cast<std::size_t>(nOrg), 0), big(static_cast<std::size_t>(nOrg), 0);
  std::vector<std::int64_t> w(static_cast<std::size_t>(nOrg), 0);
  for (int i = 0; i < nOrg; ++i) {
    Rng r(Key(seed, kTagHouses, static_cast<std::uint64_t>(i)));
    zero[static_cast<std::size_t>(i)] = nOrg > 1 && (i == 0 || r.Permille(80));
    w[static_cast<std::size_t>(i)] = r.Range(1, 20) * (r.Permille(50) ? 6 : 1);
  }
  if (config_.houses >= 2500 && nOrg >= 3) {
    int k = static_cast<int>(std::clamp<std::int64_t>(std::min<std::int64_t>(nOrg / 100, config_.houses / 8000), 1, nOrg / 3));
    Rng r(Key(seed, kTagSpread, 0));
    int offset = static_cast<int>(r.Next() % static_cast<std::uint64_t>(std::max(1, nOrg / k)));
    for (int j = 0; j < k; ++j) {
      int idx = static_cast<int>((static_cast<std::int64_t>(j) * nOrg) / k + offset) % nOrg;
      if (idx == 0) idx = 2;  // org 0 is the one without houses
      std::int64_t size = j == 0 ? 1001 : 1001 + r.Range(0, 1500);
      if (big[static_cast<std::size_t>(idx)] || size > left - config_.houses / 2) continue;
      big[static_cast<std::size_t>(idx)] = 1;
      zero[static_cast<std::size_t>(idx)] = 0;
      houseTotal_[static_cast<std::size_t>(idx)] = size;
      left -= size;
    }
    // One organisation fills exactly one page: the edge between one page and two.
    const int full = nOrg / 2 + 1;
    if (nOrg >= 10 && !big[static_cast<std::size_t>(full)] && 1000 <= left - config_.houses / 2) {
      big[static_cast<std::size_t>(full)] = 1;
      zero[static_cast<std::size_t>(full)] = 0;
      houseTotal_[static_cast<std::size_t>(full)] = 1000;
      left -= 1000;
    }
  }
  std::int64_t weightTotal = 0;
  for (int i = 0; i < nOrg; ++i)
    if (!zero[static_cast<std::size_t>(i)] && !big[static_cast<std::size_t>(i)]) weightTotal += w[static_cast<std::size_t>(i)];
  if (weightTotal == 0) {
    // Nobody to share with: the remainder goes to the last organisation.
    houseTotal_.back() += left;
    return;
  }
  std::int64_t given = 0;
  for (int i = 0; i < nOrg; ++i) {
    if (zero[static_cast<std::size_t>(i)] || big[static_cast<std::size_t>(i)]) continue;
    std::int64_t n = left * w[static_cast<std::size_t>(i)] / weightTotal;
    houseTotal_[static_cast<std::size_t>(i)] = n;
    given += n;
  }
  for (int i = 0; i < nOrg && given < left; ++i) {
    if (zero[static_cast<std::size_t>(i)] || big[static_cast<std::size_t>(i)]) continue;
    ++houseTotal_[static_cast<std::size_t>(i)];
    ++given;
  }
}

int Dataset::FindRegion(std::string_view guid, std::string_view code) const {
  std::string g = AsciiLower(guid);
  for (std::size_t i = 0; i < regions_.size(); ++i) {
    if (!g.empty() ? regions_[i].guid == g : regions_[i].code == code) return static_cast<int>(i);
  }
  return -1;
}

std::vector<std::string> Dataset::RegionOrgGuids(int region) const {
  std::vector<std::string> out;
  for (int org : RegionOrgs(region)) out.push_back(OrgGuid(org));
  return out;
}

std::string Dataset::OrgGuid(int org) const {
  Rng r(Key(config_.seed, kTagOrgGuid, static_cast<std::uint64_t>(org)));
  std::uint64_t hi = r.Next(), lo = r.Next();
  return Guid(hi, lo);
}

int Dataset::FindOrg(std::string_view guid) const {
  auto it = orgByGuid_.find(AsciiLower(guid));
  return it == orgByGuid_.end() ? -1 : it->second;
}

int Dataset::OrgSecondRegion(int org) const { return secondRegion_.at(static_cast<std::size_t>(org)); }

std::string Dataset::CountText(int region) const {
  return std::to_string(RegionOrgs(region).size());
}

std::string Dataset::SearchPageJson(int region, std::int64_t pageIndex, std::int64_t elementsPerPage) const {
  const auto& orgs = RegionOrgs(region);
  const auto total = static_cast<std::int64_t>(orgs.size());
  std::string o = "{\"total\":" + std::to_string(total) + ",\"organizationSummaryWithNsiList\":[";
  if (pageIndex >= 1 && elementsPerPage >= 1) {
    std::int64_t from = (pageIndex - 1) * elementsPerPage;
    std::int64_t to = std::min(total, from + elementsPerPage);
    for (std::int64_t i = from; i < to; ++i) {
      if (i > from) o += ',';
      o += "{\"guid\":\"" + OrgGuid(orgs[static_cast<std::size_t>(i)]) + "\"}";
    }
  }
  return o + "]}";
}

std::string Dataset::CardJson(int org) const {
  Rng r(Key(config_.seed, kTagCard, static_cast<std::uint64_t>(org)));
  const int home = homeRegion_.at(static_cast<std::size_t>(org));
  const std::string regionName = home >= 0 ? regions_[static_cast<std::size_t>(home)].name : "Российская Федерация";
  const std::string regionCode = home >= 0 ? regions_[static_cast<std::size_t>(home)].code : "77";

  std::string word = r.Pick(kCompanyWords);
  if (r.Permille(150)) word += "-" + std::to_string(r.Range(1, 9));
  std::string fullName, shortName, okopfCode, okopfName;
  switch (r.Range(0, 9)) {
    case 0:
      fullName = "АКЦИОНЕРНОЕ ОБЩЕСТВО \"" + word + "\"";
      shortName = "АО \"" + word + "\"";
      okopfCode = "12267";
      okopfName = "Непубличные акционерные общества";
      break;
    case 1:
    case 2:
      fullName = "ТОВАРИЩЕСТВО СОБСТВЕННИКОВ ЖИЛЬЯ \"" + word + "\"";
      shortName = "ТСЖ \"" + word + "\"";
      okopfCode = "20716";
      okopfName = "Товарищества собственников недвижимости";
      break;
    case 3:
      fullName = "МУНИЦИПАЛЬНОЕ УНИТАРНОЕ ПРЕДПРИЯТИЕ \"" + word + "\"";
      shortName = "МУП \"" + word + "\"";
      okopfCode = "65243";
      okopfName = "Муниципальные унитарные предприятия";
      break;
    case 4: {
      std::string n = std::to_string(r.Range(1, 300));
      fullName = "ЖИЛИЩНО-СТРОИТЕЛЬНЫЙ КООПЕРАТИВ № " + n;
      shortName = "ЖСК № " + n;
      okopfCode = "20102";
      okopfName = "Жилищные или жилищно-строительные кооперативы";
      break;
    }
    default:
      fullName = "ОБЩЕСТВО С ОГРАНИЧЕННОЙ ОТВЕТСТВЕННОСТЬЮ \"УПРАВЛЯЮЩАЯ КОМПАНИЯ \"" + word + "\"\"";
      shortName = "ООО \"УК \"" + word + "\"\"";
      okopfCode = "12300";
      okopfName = "Общества с ограниченной ответственностью";
  }
  // The INN starts with the region code, so regions 01..09 give INNs with a leading zero.
  std::string ogrn = std::string(r.Permille(800) ? "1" : "5") + Digits(r, 12);
  std::string inn = regionCode + Digits(r, 8);
  std::string kpp = regionCode + Digits(r, 2) + "01001";
  std::string date = std::to_string(r.Range(2002, 2023)) + "-" + Two(r.Range(1, 12)) + "-" + Two(r.Range(1, 28)) + "T00:00:00";
  Person chief = MakePerson(r);
  std::string orgAddress = Address(r, regionName, true);
  std::string factual = Address(r, regionName, true);
  std::string postal = r.Permille(700) ? factual : Address(r, regionName, false);
  std::string phone = Phone(r);
  if (IsChanged(org)) {
    // A new chief (another surname for certain) and a new phone, from a stream of their
    // own, so every other value of the card stays as it was.
    Rng m(Key(config_.mutateSeed, kTagMutate, static_cast<std::uint64_t>(org), 1));
    const std::string was = chief.last;
    do chief = MakePerson(m);
    while (chief.last == was);
    phone = "+7 (900) " + Digits(m, 3) + "-" + Digits(m, 2) + "-" + Digits(m, 2);
  }
  std::string latin = std::string(r.Pick(kLatin)) + std::to_string(r.Range(1, 999));
  std::string email = latin + (r.Permille(500) ? "@mail.ru" : "@yandex.ru");
  std::string url = "www." + latin + ".ru";

  // Rough edges of real cards.
  const int dateMode = r.Range(0, 99);     // <5 null, <8 missing
  const int okopfMode = r.Range(0, 99);    // <4 missing, <7 null, <9 code null
  const int addrMode = r.Range(0, 99);     // <5 orgAddress null, <8 factualAddress missing, <10 postal null
  const int contactMode = r.Range(0, 99);  // <6 phone "", <12 email null, <30 url "", <35 url null
  const int chiefMode = r.Range(0, 999);
  const int controlMode = r.Range(0, 999);

  switch (chiefMode) {
    case 0: case 1: case 2: case 3: chief.last += "&nbsp;"; break;
    case 4: case 5: chief.first = "&quot;" + chief.first + "&quot;"; break;
    case 6: case 7:  // a letter as a numeric entity: "Петровн&#1072;" is "Петровна"
      if (chief.middle.size() > 2 && chief.middle.compare(chief.middle.size() - 2, 2, "а") == 0)
        chief.middle.replace(chief.middle.size() - 2, 2, "&#1072;");
      else
        chief.first += "&#160;";
      break;
    case 8: case 9: chief.middle += "<br>"; break;
    case 10: case 11: chief.last += "; " + std::string(r.Pick(kLastNames)); break;
    case 12: chief.last = "<b>" + chief.last + "</b>&amp;"; break;
    default: break;
  }
  if (controlMode < 4) shortName.insert(shortName.find(' ') + 1, "\t");
  else if (controlMode < 8) orgAddress += "\r\n";
  else if (controlMode < 11) phone += "\n" + Phone(r);

  std::string o = "{";
  StrMember(o, "guid", OrgGuid(org));
  StrMember(o, "fullName", fullName);
  StrMember(o, "shortName", shortName);
  StrMember(o, "ogrn", ogrn);
  StrMember(o, "inn", inn);
  StrMember(o, "kpp", kpp);
  if (dateMode < 5) RawMember(o, "stateRegistrationDate", "null");
  else if (dateMode >= 8) StrMember(o, "stateRegistrationDate", date);
  if (okopfMode < 4) {
  } else if (okopfMode < 7) {
    RawMember(o, "okopf", "null");
  } else {
    std::string ok = "{";
    if (okopfMode < 9) RawMember(ok, "code", "null");
    else StrMember(ok, "code", okopfCode);
    StrMember(ok, "name", okopfName);
    RawMember(o, "okopf", ok + "}");
  }
  if (addrMode < 5) RawMember(o, "orgAddress", "null");
  else StrMember(o, "orgAddress", orgAddress);
  if (addrMode < 5 || addrMode >= 8) {
    std::string fa = "{";
    StrMember(fa, "formattedAddress", factual);
    RawMember(o, "factualAddress", fa + "}");
  }
  if (addrMode >= 8 && addrMode < 10) {
    RawMember(o, "postalAddress", "null");
  } else {
    std::string pa = "{";
    StrMember(pa, "formattedAddress", postal);
    RawMember(o, "postalAddress", pa + "}");
  }
  StrMember(o, "phone", contactMode < 6 ? std::string() : phone);
  if (contactMode >= 6 && contactMode < 12) RawMember(o, "orgEmail", "null");
  else StrMember(o, "orgEmail", email);
  if (contactMode >= 30 && contactMode < 35) RawMember(o, "url", "null");
  else StrMember(o, "url", contactMode < 30 && contactMode >= 12 ? std::string() : url);
  StrMember(o, "chiefLastName", chief.last);
  StrMember(o, "chiefFirstName", chief.first);
  StrMember(o, "chiefMiddleName", chief.middle);
  RawMember(o, "isActual", "true");
  RawMember(o, "registrationCountryName", "null");
  return o + "}";
}

std::string Dataset::AdditionalInfoJson(int org) const {
  Rng r(Key(config_.seed, kTagAdditional, static_cast<std::uint64_t>(org)));
  const int home = homeRegion_.at(static_cast<std::size_t>(org));
  const std::string regionName = home >= 0 ? regions_[static_cast<std::size_t>(home)].name : "Российская Федерация";
  const int kind = r.Percent();
  if (kind < 3) return "{\"additionalInfos\":[]}";
  if (kind < 4) return "{}";

  std::string info = "{";
  const int chiefMode = r.Percent();
  Person p = MakePerson(r);
  if (chiefMode < 5) {
    RawMember(info, "chiefInfo", "null");
  } else if (chiefMode >= 8) {
    std::string c = "{";
    StrMember(c, "fio", p.last + " " + p.first + " " + p.middle);
    StrMember(c, "position", r.Pick(kPositions));
    RawMember(info, "chiefInfo", c + "}");
  }
  const int hoursMode = r.Percent();
  if (hoursMode < 5) RawMember(info, "organizationOpeningHours", "null");
  else if (hoursMode >= 9) RawMember(info, "organizationOpeningHours", OfficeWeek(r));

  const int receptionMode = r.Percent();
  if (receptionMode < 10) {
    RawMember(info, "citizenReceptionInfoList", "[]");
  } else if (receptionMode >= 18) {
    std::string list = "[";
    const int entries = receptionMode >= 88 ? 2 : 1;
    for (int e = 0; e < entries; ++e) {
      std::string rec = "{";
      if (r.Permille(50)) RawMember(rec, "employeePosition", "null");
      else StrMember(rec, "employeePosition", r.Pick(kPositions));
      const int locMode = r.Percent();
      if (locMode < 5) {
        RawMember(rec, "citizensReceptionLocation", "null");
      } else if (locMode >= 10) {
        std::string loc = "{";
        StrMember(loc, "formattedAddress", Address(r, regionName, true));
        RawMember(rec, "citizensReceptionLocation", loc + "}");
      }
      const int phoneMode = r.Percent();
      if (phoneMode < 8) {
        RawMember(rec, "citizensReceptionPhones", "[]");
      } else if (phoneMode >= 12) {
        std::string phones = "[";
        Esc(phones, Phone(r));
        if (phoneMode >= 75) {
          phones += ',';
          Esc(phones, Phone(r));
        }
        RawMember(rec, "citizensReceptionPhones", phones + "]");
      }
      if (!r.Permille(60)) RawMember(rec, "citizensReceptionHours", ReceptionHours(r));
      if (e > 0) list += ',';
      list += rec + "}";
    }
    RawMember(info, "citizenReceptionInfoList", list + "]");
  }
  std::string o = "{\"additionalInfos\":[" + info + "}";
  if (r.Permille(30)) o += ",{\"chiefInfo\":{\"fio\":\"Второй элемент не читается\"}}";
  return o + "]}";
}

std::string Dataset::HouseJson(int org, std::int64_t house) const {
  Rng r(Key(config_.seed, kTagHouse, static_cast<std::uint64_t>(org), static_cast<std::uint64_t>(house)));
  const int home = homeRegion_.at(static_cast<std::size_t>(org));
  const std::string regionName = home >= 0 ? regions_[static_cast<std::size_t>(home)].name : "Российская Федерация";
  std::uint64_t hi = r.Next(), lo = r.Next();

  const int built = r.Range(1950, 2022);
  auto year = [&r](std::string& o, const char* name, int y) {
    const int mode = r.Range(0, 999);
    if (mode < 800) RawMember(o, name, std::to_string(y));
    else if (mode < 860) StrMember(o, name, std::to_string(y));
    else if (mode < 900) RawMember(o, name, "null");
    else if (mode < 930) StrMember(o, name, "");
    else if (mode < 950) StrMember(o, name, " " + std::to_string(y) + " ");
    else if (mode < 970) RawMember(o, name, "0");
    // else: missing
  };

  std::string o = "{";
  StrMember(o, "guid", Guid(hi, lo));
  const int addrMode = r.Range(0, 999);
  std::string address = Address(r, regionName, false);
  if (addrMode < 20) {
  } else if (addrMode < 30) {
    RawMember(o, "address", "null");
  } else if (addrMode < 40) {
    RawMember(o, "address", "{\"formattedAddress\":null}");
  } else {
    if (addrMode < 43) address.insert(address.find(", г. ") + 1, "\n");
    std::string a = "{";
    StrMember(a, "formattedAddress", address);
    RawMember(o, "address", a + "}");
  }
  RawMember(o, "houseType", r.Permille(900) ? "{\"code\":\"1\",\"name\":\"Многоквартирный дом\"}"
                                            : "{\"code\":\"2\",\"name\":\"Жилой дом блокированной застройки\"}");
  year(o, "operationYear", built + (r.Permille(300) ? 1 : 0));
  year(o, "buildingYear", built);
  const int roomsMode = r.Range(0, 99);
  if (roomsMode < 5) RawMember(o, "residentialPremiseCount", "null");
  else if (roomsMode < 8) {
  } else if (roomsMode < 10) RawMember(o, "residentialPremiseCount", "0");
  else RawMember(o, "residentialPremiseCount", std::to_string(r.Range(1, 400)));
  RawMember(o, "floorCount", std::to_string(r.Range(1, 25)));
  return o + "}";
}

std::string Dataset::HousePageJson(int org, std::int64_t pageIndex, std::int64_t elementsPerPage) const {
  const std::int64_t total = HouseTotal(org);
  std::string o = "{\"total\":" + std::to_string(total) + ",\"items\":[";
  if (pageIndex >= 1 && elementsPerPage >= 1) {
    std::int64_t from = (pageIndex - 1) * elementsPerPage;
    std::int64_t to = std::min(total, from + elementsPerPage);
    if (to > from) o.reserve(static_cast<std::size_t>(to - from) * 330 + 64);
    for (std::int64_t i = from; i < to; ++i) {
      if (i > from) o += ',';
      const auto [owner, house] = HouseAt(org, i);
      o += HouseJson(owner, house);
    }
  }
  return o + "]}";
}

std::pair<int, std::int64_t> Dataset::HouseAt(int org, std::int64_t index) const {
  if (movedOut_.empty()) return {org, index};
  const auto& out = movedOut_[static_cast<std::size_t>(org)];
  const std::int64_t kept = baseTotal_[static_cast<std::size_t>(org)] - static_cast<std::int64_t>(out.size());
  if (index >= kept) return movedIn_[static_cast<std::size_t>(org)][static_cast<std::size_t>(index - kept)];
  std::int64_t house = index;
  for (std::int64_t gone : out)  // sorted: every one at or before the place shifts it on
    if (gone <= house) ++house;
  return {org, house};
}

bool Dataset::IsChanged(int org) const {
  return !changed_.empty() && changed_[static_cast<std::size_t>(org)];
}

void Dataset::Mutate() {
  const int nOrg = baseOrgs_;
  const int nReg = config_.regions;
  if (nOrg == 0 || nReg == 0) return;
  const int share = std::clamp(config_.mutatePercent, 0, 100) * 10;  // per mille
  const std::uint64_t seed = config_.mutateSeed;
  changed_.assign(static_cast<std::size_t>(nOrg), 0);
  movedOut_.assign(static_cast<std::size_t>(nOrg), {});
  movedIn_.assign(static_cast<std::size_t>(nOrg), {});
  std::vector<char> vanished(static_cast<std::size_t>(nOrg), 0);
  std::vector<int> movers;
  // Only organisations of one region change, so that every change shows in one region's
  // comparison; the shares: changed cards, then half as many gone, half as many that give
  // houses away.
  for (int i = 0; i < nOrg; ++i) {
    if (secondRegion_[static_cast<std::size_t>(i)] >= 0 || homeRegion_[static_cast<std::size_t>(i)] < 0) continue;
    Rng r(Key(seed, kTagMutate, static_cast<std::uint64_t>(i)));
    const int roll = static_cast<int>(r.Next() % 1000);
    if (roll < share) {
      changed_[static_cast<std::size_t>(i)] = 1;
      mutations_.changed.push_back(i);
    } else if (roll < share + share / 2) {
      vanished[static_cast<std::size_t>(i)] = 1;
      mutations_.vanished.push_back(i);
    } else if (roll < 2 * share && houseTotal_[static_cast<std::size_t>(i)] >= 2) {
      movers.push_back(i);
    }
  }
  for (int i : mutations_.vanished) {
    auto& list = regionOrgs_[static_cast<std::size_t>(homeRegion_[static_cast<std::size_t>(i)])];
    list.erase(std::find(list.begin(), list.end(), i));
  }
  // A mover gives one to three of its houses, each to another organisation of its region
  // that is still there.
  for (int from : movers) {
    Rng r(Key(seed, kTagMutate, static_cast<std::uint64_t>(from), 2));
    const auto& region = regionOrgs_[static_cast<std::size_t>(homeRegion_[static_cast<std::size_t>(from)])];
    const std::int64_t total = houseTotal_[static_cast<std::size_t>(from)];
    const int count = static_cast<int>(std::min<std::int64_t>(r.Range(1, 3), total - 1));
    std::vector<std::int64_t>& out = movedOut_[static_cast<std::size_t>(from)];
    for (int k = 0; k < count; ++k) {
      const std::int64_t house = static_cast<std::int64_t>(r.Next() % static_cast<std::uint64_t>(total));
      if (std::find(out.begin(), out.end(), house) != out.end()) continue;
      int to = -1;
      for (int tries = 0; tries < 20 && to < 0; ++tries) {
        const int pick = region[static_cast<std::size_t>(r.Next() % region.size())];
        if (pick != from && secondRegion_[static_cast<std::size_t>(pick)] < 0) to = pick;
      }
      if (to < 0) continue;
      out.push_back(house);
      movedIn_[static_cast<std::size_t>(to)].push_back({from, house});
      mutations_.moves.push_back({from, house, to});
    }
    std::sort(out.begin(), out.end());
  }
  // New organisations, each with a few houses of its own.
  const int appear = std::max(1, nOrg * share / 2000);
  for (int k = 0; k < appear; ++k) {
    const int org = nOrg + k;
    Rng r(Key(seed, kTagMutate, static_cast<std::uint64_t>(org), 3));
    const int home = static_cast<int>(r.Next() % static_cast<std::uint64_t>(nReg));
    homeRegion_.push_back(home);
    secondRegion_.push_back(-1);
    const std::int64_t houses = r.Range(1, 12);
    houseTotal_.push_back(houses);
    baseTotal_.push_back(houses);
    changed_.push_back(0);
    movedOut_.emplace_back();
    movedIn_.emplace_back();
    regionOrgs_[static_cast<std::size_t>(home)].push_back(org);
    orgByGuid_.emplace(OrgGuid(org), org);
    mutations_.appeared.push_back(org);
  }
  for (std::size_t i = 0; i < houseTotal_.size(); ++i)
    houseTotal_[i] = baseTotal_[i] - static_cast<std::int64_t>(movedOut_[i].size()) +
                     static_cast<std::int64_t>(movedIn_[i].size());
}

std::string Dataset::CitiesFile() const {
  std::string o = "\xEF\xBB\xBF";
  for (const auto& reg : regions_) o += reg.name + "=" + reg.code + "$$$" + reg.guid + "\r\n";
  return o;
}

}  // namespace simdata
