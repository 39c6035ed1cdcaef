#pragma once
// The substitute portal's data: regions, organisations and houses, all derived from a seed.
//
// Nothing large is stored: every organisation and house is computed on demand from
// (seed, index), so country-scale sizes (30,000 organisations, 1,000,000 houses) cost a few
// small index tables only. The same Config always gives byte-identical texts, which is what
// lets tests compute the expected result without going through HTTP: the server answers with
// exactly the texts returned here.
//
// Variety that the harvester must survive is built in on purpose: Cyrillic everywhere, double
// quotes inside names, INNs with a leading zero, null and missing members, HTML entities and
// tags in chief names, TAB/CR/LF inside values, years as numbers, strings, null, "" and
// " 1990 ", houses without an address, organisations without houses, organisations with more
// than 1000 houses (several house pages) and organisations listed in two regions (same GUID).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace simdata {

struct Config {
  int regions = 5;            // 0..85 (the first N of the built-in region table)
  int orgs = 200;             // 0..30,000
  std::int64_t houses = 5000; // 0..1,000,000, spread over the organisations
  std::uint64_t seed = 1;
  // Not 0: the same dataset as it stands a while later (Dataset::Mutation says what changed).
  std::uint64_t mutateSeed = 0;
  int mutatePercent = 5;  // share of organisations whose card changes (0..100)
};

// What a mutation changed against the dataset of the same Config without it. Only
// organisations listed in one region are touched.
struct Mutations {
  std::vector<int> changed;   // a new chief (another surname) and a new phone on the card
  std::vector<int> vanished;  // no longer listed in their region (half the changed share)
  std::vector<int> appeared;  // new organisations, numbered from the unmutated count on
  struct Move {
    int from;             // the organisation that managed it
    std::int64_t house;   // its house number there (HouseJson of `from`)
    int to;               // the organisation of the same region that manages it now
  };
  std::vector<Move> moves;    // houses given away by about half the changed share
};

struct Region {
  std::string name;  // "Республика Адыгея"
  std::string code;  // "01"
  std::string guid;  // lowercase 8-4-4-4-12; fixed per region code, independent of the seed
};

class Dataset {
 public:
  static constexpr int kMaxRegions = 85;
  static constexpr int kMaxOrgs = 30000;
  static constexpr std::int64_t kMaxHouses = 1000000;

  // Values out of range are clamped into the limits above.
  explicit Dataset(const Config& config);

  const Config& config() const { return config_; }

  // Regions, in table order (also the order of "cities.txt").
  const std::vector<Region>& Regions() const { return regions_; }
  // Region index by GUID (case-insensitive); when guid is empty, by code. -1 if none.
  int FindRegion(std::string_view guid, std::string_view code) const;

  // Organisations of a region in search order (what the paged search lists), as indices.
  // An organisation listed in two regions appears in both lists.
  const std::vector<int>& RegionOrgs(int region) const { return regionOrgs_.at(region); }
  std::vector<std::string> RegionOrgGuids(int region) const;

  // Organisations, the appeared ones of a mutation included.
  int OrgCount() const { return static_cast<int>(homeRegion_.size()); }
  // What the mutation changed (empty without one).
  const Mutations& Mutation() const { return mutations_; }
  std::string OrgGuid(int org) const;                // lowercase
  int FindOrg(std::string_view guid) const;          // case-insensitive; -1 if unknown
  int OrgHomeRegion(int org) const { return homeRegion_.at(org); }  // -1 without regions
  int OrgSecondRegion(int org) const;                // -1 unless listed in a second region

  // Answer texts (UTF-8).
  // Count: bare decimal number of organisations in the region.
  std::string CountText(int region) const;
  // Search page: {"total":N,"organizationSummaryWithNsiList":[{"guid":"..."},...]}, pages
  // counted from 1; a page past the end has an empty list.
  std::string SearchPageJson(int region, std::int64_t pageIndex, std::int64_t elementsPerPage) const;
  // Card of an organisation (object; see the file comment for its variety).
  std::string CardJson(int org) const;
  // Additional information: {"additionalInfos":[...]}.
  std::string AdditionalInfoJson(int org) const;
  // Houses managed by an organisation; the totals add up to Config::houses.
  std::int64_t HouseTotal(int org) const { return houseTotal_.at(org); }
  // House page: {"total":N,"items":[...]}, pages counted from 1; past the end: empty items.
  std::string HousePageJson(int org, std::int64_t pageIndex, std::int64_t elementsPerPage) const;

  // "cities.txt" for this dataset: UTF-8 mark, lines "<name>=<code>$$$<guid>" ending in CR LF.
  std::string CitiesFile() const;

 private:
  std::string HouseJson(int org, std::int64_t house) const;
  void Build();
  void Mutate();
  bool IsChanged(int org) const;
  // The house at `index` of an organisation's list: (organisation it was generated for,
  // its number there).
  std::pair<int, std::int64_t> HouseAt(int org, std::int64_t index) const;

  Config config_;
  std::vector<Region> regions_;
  std::vector<std::vector<int>> regionOrgs_;
  std::vector<int> homeRegion_;
  std::vector<int> secondRegion_;
  std::vector<std::int64_t> houseTotal_;
  std::unordered_map<std::string, int> orgByGuid_;
  // The mutation's state; empty without one.
  int baseOrgs_ = 0;
  std::vector<std::int64_t> baseTotal_;
  std::vector<char> changed_;
  std::vector<std::vector<std::int64_t>> movedOut_;
  std::vector<std::vector<std::pair<int, std::int64_t>>> movedIn_;
  Mutations mutations_;
};

// Lowercase copy of an ASCII string (GUIDs).
std::string AsciiLower(std::string_view s);

}  // namespace simdata
