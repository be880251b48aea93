#include "station/recommend/Recommender.h"

#include <algorithm>
#include <optional>
#include <cmath>
#include <unordered_set>

#include "station/recommend/LovedRotation.h"

namespace vorn::station {
namespace {

constexpr double kNeutral = 3.0;
constexpr double kArtistWeight = 1.0;
constexpr double kAlbumWeight = 0.5;
constexpr double kGenreWeight = 1.0;
// The spread of a group's preference before any rating (in stars, over the
// square root of the neutral ratings it starts with, `shrink`). Narrow for
// the groups themselves: the picks are the best of many candidates, each
// drawn on its own, so a wide spread lets the luckiest of many lukewarm
// artists and genres beat the ones the listener clearly likes.
constexpr double kSpread = 0.075;
constexpr double kGenreSpread = 0.2;
// Wide for the genres not rated yet: they share one draw (or, searching,
// are few), and trying an unknown genre is worth more than trying an
// unknown artist, since each genre holds many items.
constexpr double kUnknownGenreSpread = 0.8;
constexpr double kUnknownGenreShrink = 2;  // rated genres an unrated genre's expectation starts with at neutral
// Added to an unrated genre's expectation: a genre nobody has asked the
// listener about is worth a try over one the listener rated lukewarm, whose
// best items hit no more often and tell nothing new.
constexpr double kUnknownGenreBonus = 0.2;
constexpr GroupId kUnknownGenreKey = ~GroupId{0};  // the draw shared by every genre not rated yet
// A group is clearly liked when its average is this many stars above neutral
// after shrinking, over the square root of its ratings and `shrink`: one
// standard error of a rating's spread of about a star.
constexpr double kClearlyLiked = 1.5;
constexpr double kWellRated = 3.5;  // and its plain average at least this
// A group is a favourite, drawn from for candidates, above this preference:
// one 5-star rating makes one (0.67), 4-star ratings alone take four. A
// group liked a little (one 4, or two) is no better a source than the
// community's best, and its items crowd out those of the loved groups.
constexpr double kLikedFloor = 0.6;
constexpr double kPriorRatings = 40;  // listener's ratings at which the community's prior weighs half
constexpr int kExplorationDraws = 6;
constexpr int kGroupDraws = 3;  // members of a favourite group weighed for one candidate
constexpr int kMaxCount = 50;
constexpr double kSettledRatings = 10;
constexpr double kVerdictShrink = 0.5;      // similarity mass every verdict starts with
constexpr std::size_t kVerdictRatings = 300;  // ratings that lend verdicts, the furthest from the average
constexpr std::size_t kKeptLiked = 384;       // verdicts kept per listener, best ones
constexpr std::size_t kKeptDisliked = 128;    // and worst ones
constexpr std::size_t kNeighbourPicks = 64;   // best verdicts drawn from as candidates
constexpr double kMaxVerdictWeight = 4.0;
constexpr std::size_t kRankedGroups = 6;   // clearly liked groups whose best items are always weighed
constexpr std::size_t kRankedWalk = 256;  // items of such a group looked at per request, at most
constexpr std::size_t kSearchAfter = 20;  // ratings after which a listener who clearly likes nothing searches
constexpr double kFitFloor = 0.25;            // the groups' fitted weight counts as at least this
constexpr double kFitRidge = 1.0;             // keeps the fit calm on few ratings
// A listener who seems to love this share of the genres tried, or more, gets
// no raise from the genre model: the taste follows something else.
constexpr double kUnfocused = 0.5;
// A genre the genre model gives less than this chance of being loved (and
// every genre not rated) has at most one item in an answer: a lucky draw of
// a doubtful genre costs one pick, not the answer, and each answer tries
// several genres.
constexpr double kSureLoved = 0.3;

double Uniform(std::mt19937_64& random) {
    return static_cast<double>(random() >> 11) * (1.0 / 9007199254740992.0);
}

std::uint32_t Below(std::mt19937_64& random, std::size_t n) {
    return static_cast<std::uint32_t>(random() % n);
}

std::uint64_t Mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

}  // namespace

Recommender::Recommender(RecommenderSettings settings)
    : settings_(settings), seed_(settings.seed != 0 ? settings.seed : std::random_device{}()) {}

void Recommender::Load(const std::vector<std::int32_t>& listeners, const std::vector<RatingRecord>& ratings,
                       const std::vector<RecentRecord>& recent) {
    for (std::int32_t listener : listeners) {
        AddListener(listener);
    }
    for (const RatingRecord& rating : ratings) {
        Profile& profile = ProfileOf(rating.listener);
        std::lock_guard lock(profile.mutex);
        profile.ratings[rating.item] = rating.value;
        profile.rated.Set(rating.item, true);
        profile.statsValid = false;
    }
    for (const RecentRecord& record : recent) {
        Profile& profile = ProfileOf(record.listener);
        std::lock_guard lock(profile.mutex);
        Remember(profile, record.item);
    }
    // Which ratings were of offers is not stored: those still in the recent
    // memory count as offered.
    std::shared_lock lock(profilesMutex_);
    for (auto& [listener, profile] : profiles_) {
        std::lock_guard profileLock(profile->mutex);
        MarkOffered(*profile);
    }
}

void Recommender::MarkOffered(Profile& profile) {
    for (const auto& rating : profile.ratings) {
        if (profile.lastOffered.Contains(rating.first)) {
            profile.offeredRated.Set(rating.first, true);
        }
    }
}

bool Recommender::Knows(std::int32_t listener) const {
    std::shared_lock lock(profilesMutex_);
    return profiles_.count(listener) != 0;
}

void Recommender::AddListener(std::int32_t listener) { ProfileOf(listener); }

Recommender::Profile& Recommender::ProfileOf(std::int32_t listener) {
    {
        std::shared_lock lock(profilesMutex_);
        const auto found = profiles_.find(listener);
        if (found != profiles_.end()) {
            return *found->second;
        }
    }
    std::unique_lock lock(profilesMutex_);
    std::unique_ptr<Profile>& slot = profiles_[listener];
    if (!slot) {
        slot = std::make_unique<Profile>();
    }
    return *slot;
}

void Recommender::ApplyRatings(std::int32_t listener,
                               const std::vector<std::pair<std::int32_t, std::int32_t>>& ratings) {
    Profile& profile = ProfileOf(listener);
    std::lock_guard lock(profile.mutex);
    for (const auto& [item, value] : ratings) {
        profile.ratings[item] = value;
        profile.rated.Set(item, true);
        if (profile.lastOffered.Contains(item)) {
            profile.offeredRated.Set(item, true);
        }
    }
    profile.statsValid = false;
    ratingsApplied_.fetch_add(ratings.size(), std::memory_order_relaxed);
}

void Recommender::Resync(std::int32_t listener, const ListenerRecords& records) {
    Profile& profile = ProfileOf(listener);
    std::lock_guard lock(profile.mutex);
    std::unordered_map<std::int32_t, std::int32_t> ratings(records.ratings.begin(), records.ratings.end());
    if (ratings != profile.ratings) {
        profile.ratings = std::move(ratings);
        profile.rated.Clear();
        FlatIdMap<bool> offered;
        for (const auto& [item, value] : profile.ratings) {
            profile.rated.Set(item, true);
            if (profile.offeredRated.Contains(item)) {
                offered.Set(item, true);
            }
        }
        profile.offeredRated = std::move(offered);
        MarkOffered(profile);
        profile.statsValid = false;
    }
    // Usually nothing changed elsewhere: the store holds what this station
    // offered the listener last, and the profile is kept as it is.
    const auto sameItem = [](std::int32_t item, const std::pair<std::int32_t, std::uint64_t>& kept) {
        return item == kept.first;
    };
    const bool sameRecent = profile.recent.size() == records.recent.size() &&
                            std::equal(records.recent.begin(), records.recent.end(), profile.recent.begin(), sameItem);
    if (sameRecent) {
        return;
    }
    profile.recent.clear();
    profile.lastOffered.Clear();
    for (std::int32_t item : records.recent) {
        Remember(profile, item);
    }
    MarkOffered(profile);
    profile.rotationValid = false;
}

void Recommender::SetNeighbours(std::shared_ptr<const ItemNeighbours> neighbours) {
    std::lock_guard lock(neighboursMutex_);
    neighbours_ = std::move(neighbours);
    ++neighboursGeneration_;
}

std::shared_ptr<const GenreModel> Recommender::RefreshGenreModel(const CatalogueSnapshot& snapshot) {
    // Profiles are never removed: the map's lock is held only to list them,
    // so new listeners are not kept waiting for the whole walk.
    std::vector<Profile*> profiles;
    {
        std::shared_lock lock(profilesMutex_);
        profiles.reserve(profiles_.size());
        for (auto& entry : profiles_) {
            profiles.push_back(entry.second.get());
        }
    }
    std::vector<StarCounts> counts;
    {
        std::unordered_map<GroupId, StarCounts> genres;
        for (Profile* profile : profiles) {
            genres.clear();
            {
                std::lock_guard profileLock(profile->mutex);
                profile->offeredRated.ForEach([&](std::int32_t item, bool) {
                    const auto rating = profile->ratings.find(item);
                    const CatalogueEntry* entry = snapshot.Find(item);
                    if (rating != profile->ratings.end() && entry != nullptr && entry->genre != kNoGroup &&
                        rating->second >= 1 && rating->second <= 5) {
                        ++genres[entry->genre][static_cast<std::size_t>(rating->second - 1)];
                    }
                });
            }
            for (const auto& genre : genres) {
                counts.push_back(genre.second);
            }
        }
    }
    std::unordered_set<GroupId> genres;
    for (std::uint32_t index : snapshot.Live()) {
        genres.insert(snapshot.Keys()[index].genre);
    }
    genres.erase(kNoGroup);
    auto model = std::make_shared<const GenreModel>(GenreModel::Fit(counts, genres.size()));
    std::lock_guard lock(neighboursMutex_);
    genreModel_ = model;
    return model;
}

void Recommender::Remember(Profile& profile, std::int32_t item) const {
    const std::uint64_t sequence = ++profile.sequence;
    profile.recent.emplace_back(item, sequence);
    profile.lastOffered.Set(item, sequence);
    while (profile.recent.size() > static_cast<std::size_t>(std::max(settings_.recentWindow, 0))) {
        const auto [oldItem, oldSequence] = profile.recent.front();
        profile.recent.pop_front();
        const std::uint64_t* last = profile.lastOffered.Find(oldItem);
        if (last != nullptr && *last == oldSequence) {
            profile.lastOffered.Erase(oldItem);
        }
    }
}

void Recommender::RefreshStats(Profile& profile, const CatalogueSnapshot& snapshot) const {
    if (profile.statsValid && profile.statsGeneration == snapshot.Generation()) {
        return;
    }
    profile.stats.Clear();
    profile.ratedLive = 0;
    for (const auto& [item, value] : profile.ratings) {
        const CatalogueEntry* entry = snapshot.Find(item);
        if (entry == nullptr) {
            continue;
        }
        profile.ratedLive += entry->record.present ? 1 : 0;
        for (GroupId group : {entry->artist, entry->album, entry->genre}) {
            if (group != kNoGroup) {
                GroupStat& stat = profile.stats.At(group);
                stat.sum += value;
                stat.count += 1;
            }
        }
        if (entry->genre != kNoGroup && value >= 1 && value <= 5 && profile.offeredRated.Contains(item)) {
            ++profile.stats.At(entry->genre).offered[static_cast<std::size_t>(value - 1)];
        }
    }
    double sum = 0;
    for (const auto& [item, value] : profile.ratings) {
        sum += value;
    }
    profile.mean = profile.ratings.empty() ? kNeutral : sum / static_cast<double>(profile.ratings.size());
    // What an unrated genre is expected to be worth: the listener's rated
    // genres on average, shrunk towards neutral, and a little curiosity. A
    // listener who disliked most genres tried expects little of the next,
    // and explores less once a loved one is found.
    double genres = 0;
    std::unordered_set<GroupId> rated;
    for (const auto& rating : profile.ratings) {
        const CatalogueEntry* entry = snapshot.Find(rating.first);
        if (entry != nullptr && entry->genre != kNoGroup && rated.insert(entry->genre).second) {
            genres += Preference(profile, entry->genre);
        }
    }
    profile.unknownGenre = genres / (static_cast<double>(rated.size()) + kUnknownGenreShrink) + kUnknownGenreBonus;
    profile.ratedGenres = rated.size();
    profile.verdictsValid = false;
    profile.liked.clear();
    double total = 0;
    profile.stats.ForEach([&](GroupId group, const GroupStat&) {
        const double preference = Preference(profile, group);
        if (preference > kLikedFloor && !snapshot.LiveInGroup(group).empty()) {
            total += preference;
            profile.liked.emplace_back(group, total);
        }
    });
    profile.clearlyLiked.clear();
    profile.stats.ForEach([&](GroupId group, const GroupStat&) {
        if (ClearlyLiked(profile, group)) {
            profile.clearlyLiked.push_back(group);
        }
    });
    std::sort(profile.clearlyLiked.begin(), profile.clearlyLiked.end(), [&](GroupId a, GroupId b) {
        const double pa = Preference(profile, a), pb = Preference(profile, b);
        return pa != pb ? pa > pb : a < b;
    });
    profile.searching = profile.clearlyLiked.empty() && profile.ratings.size() >= kSearchAfter;
    profile.statsValid = true;
    profile.statsGeneration = snapshot.Generation();
    profile.rotationValid = false;
}

std::size_t Recommender::NewLeft(const Profile& profile, const CatalogueSnapshot& snapshot) const {
    std::size_t offeredUnrated = 0;
    profile.lastOffered.ForEach([&](std::int32_t item, std::uint64_t) {
        offeredUnrated += !profile.rated.Contains(item) && snapshot.FindLive(item) != nullptr ? 1 : 0;
    });
    const std::size_t unrated = snapshot.Live().size() - std::min(snapshot.Live().size(), profile.ratedLive);
    return unrated - std::min(unrated, offeredUnrated);
}

void Recommender::RefreshRotation(Profile& profile, std::int32_t listener, const CatalogueSnapshot& snapshot) const {
    if (profile.rotationValid) {
        return;
    }
    // Threes join the loved ones on request, and stand in for them when
    // nothing else is left (everything rated, nothing higher than 3): silence
    // only when nothing is left but 1 and 2 stars.
    profile.rotation = LovedRotation(listener, profile.ratings, settings_.rotateThrees ? 3 : 4, profile.recent,
                                     profile.lastOffered, snapshot);
    if (profile.rotation.empty() && !settings_.rotateThrees && profile.ratedLive >= snapshot.Live().size()) {
        profile.rotation = LovedRotation(listener, profile.ratings, 3, profile.recent, profile.lastOffered, snapshot);
    }
    profile.rotationValid = true;
}

double Recommender::Preference(const Profile& profile, GroupId group) const {
    if (group == kNoGroup) {
        return 0;
    }
    const GroupStat* stat = profile.stats.Find(group);
    if (stat == nullptr) {
        return 0;
    }
    return (stat->sum - kNeutral * stat->count) / (stat->count + settings_.shrink);
}

bool Recommender::ClearlyLiked(const Profile& profile, GroupId group) const {
    const GroupStat* stat = group == kNoGroup ? nullptr : profile.stats.Find(group);
    return stat != nullptr && stat->sum >= kWellRated * stat->count &&
           Preference(profile, group) > kClearlyLiked / std::sqrt(stat->count + settings_.shrink);
}

std::shared_ptr<const std::vector<std::int32_t>> Recommender::Ranked(GroupId group, const CatalogueSnapshot& snapshot,
                                                                     const ItemNeighbours& neighbours,
                                                                     std::uint64_t generation) const {
    {
        std::lock_guard lock(rankedMutex_);
        if (rankedCatalogue_ != snapshot.Generation() || rankedNeighbours_ != generation) {
            ranked_.clear();
            rankedCatalogue_ = snapshot.Generation();
            rankedNeighbours_ = generation;
        }
        const auto found = ranked_.find(group);
        if (found != ranked_.end()) {
            return found->second;
        }
    }
    // Made outside the lock: another request may make the same list at the
    // same time, and one of the two is kept.
    std::vector<std::pair<float, std::int32_t>> members;
    for (std::uint32_t index : snapshot.LiveInGroup(group)) {
        const std::int32_t item = snapshot.Keys()[index].id;
        members.emplace_back(neighbours.Prior(item), item);
    }
    std::sort(members.begin(), members.end(),
              [](const auto& a, const auto& b) { return a.first != b.first ? a.first > b.first : a.second < b.second; });
    auto ranked = std::make_shared<std::vector<std::int32_t>>();
    ranked->reserve(members.size());
    for (const auto& member : members) {
        ranked->push_back(member.second);
    }
    std::lock_guard lock(rankedMutex_);
    if (rankedCatalogue_ == snapshot.Generation() && rankedNeighbours_ == generation) {
        ranked_.emplace(group, ranked);
    }
    return ranked;
}

double Recommender::Spread(const Profile& profile, GroupId group) const {
    const GroupStat* stat = group == kNoGroup ? nullptr : profile.stats.Find(group);
    return std::sqrt(settings_.shrink / ((stat == nullptr ? 0 : stat->count) + settings_.shrink));
}

double Recommender::Sample(Profile& profile, GroupId group, bool genre, FlatIdMap<double, GroupId>& samples) const {
    if (group == kNoGroup) {
        return 0;
    }
    // Every genre not rated yet is one choice, drawn once: trying the
    // unknown competes with the known favourites as one option, not once per
    // unknown genre (which would make the best of many draws win). A listener
    // searching for a first clear liking after many ratings wants exactly
    // that: each unrated genre is drawn on its own.
    const bool unknownGenre = genre && !profile.stats.Contains(group);
    const GroupId key = unknownGenre && !profile.searching ? kUnknownGenreKey : group;
    if (const double* drawn = samples.Find(key); drawn != nullptr) {
        return *drawn + (genre ? LovedBoost(profile, group, unknownGenre) : 0.0);
    }
    const double mean = unknownGenre ? profile.unknownGenre : Preference(profile, group);
    const double spread = unknownGenre ? kUnknownGenreSpread : genre ? kGenreSpread : kSpread;
    const double drawn = mean + spread * Spread(profile, group) * std::normal_distribution<double>()(profile.random);
    samples.Set(key, drawn);
    return drawn + LovedBoost(profile, group, unknownGenre);
}

double Recommender::LovedBoost(Profile& profile, GroupId genre, bool unrated) const {
    if (const double* boost = profile.lovedBoost.Find(genre); boost != nullptr) {
        return *boost;
    }
    if (!unrated) {
        return 0;
    }
    // A genre not rated yet is drawn when first weighed in the request.
    const double boost = profile.unratedLoved > 0 && Uniform(profile.random) < profile.unratedLoved ? profile.boost : 0;
    profile.lovedBoost.Set(genre, boost);
    return boost;
}

void Recommender::DrawLoved(Profile& profile, const GenreModel* model) const {
    profile.lovedBoost.Clear();
    profile.drawnLoved.clear();
    profile.boost = 0;
    profile.unratedLoved = 0;
    profile.lovedChance.Clear();
    if (model == nullptr || !model->Usable()) {
        return;
    }
    std::vector<std::pair<GroupId, double>> genres;  // rated genre, probability it is loved
    double total = 0;
    profile.stats.ForEach([&](GroupId group, const GroupStat& stat) {
        if (std::any_of(stat.offered.begin(), stat.offered.end(), [](std::uint32_t n) { return n > 0; })) {
            genres.emplace_back(group, model->Loved(stat.offered));
            total += genres.back().second;
            profile.lovedChance.Set(group, genres.back().second);
        }
    });
    const double focus = genres.empty() ? 1 : 1 - total / static_cast<double>(genres.size()) / kUnfocused;
    if (focus <= 0) {
        return;
    }
    profile.boost = focus * model->Difference();
    // The loved genres not found yet are among those not rated yet.
    const double unrated = static_cast<double>(model->Genres()) - static_cast<double>(profile.ratedGenres);
    if (unrated >= 1) {
        profile.unratedLoved = std::clamp((model->LovedPerListener() - total) / unrated, 0.0, 1.0);
    }
    // The stats' order is their ids': the same draws for the same ratings.
    std::sort(genres.begin(), genres.end());
    for (const auto& [genre, loved] : genres) {
        if (Uniform(profile.random) < loved) {
            profile.lovedBoost.Set(genre, profile.boost);
            profile.drawnLoved.push_back(genre);
        }
    }
}

bool Recommender::SecondOfUnsure(const Profile& profile, const EntryKeys& entry,
                                 const std::vector<std::int32_t>& chosen, const CatalogueSnapshot& snapshot) const {
    if (profile.boost <= 0 || entry.genre == kNoGroup) {
        return false;
    }
    const double* loved = profile.lovedChance.Find(entry.genre);
    const bool unsure = loved != nullptr ? *loved < kSureLoved : !profile.stats.Contains(entry.genre);
    return unsure && std::any_of(chosen.begin(), chosen.end(), [&](std::int32_t item) {
               const CatalogueEntry* other = snapshot.FindLive(item);
               return other != nullptr && other->genre == entry.genre;
           });
}

bool Recommender::Rejected(const Profile& profile, const EntryKeys& entry) const {
    for (GroupId group : {entry.artist, entry.genre}) {
        const GroupStat* stat = group == kNoGroup ? nullptr : profile.stats.Find(group);
        if (stat != nullptr && stat->count > 0 && stat->sum <= 2.0 * stat->count) {
            return true;
        }
    }
    return false;
}

void Recommender::RefreshVerdicts(Profile& profile, const ItemNeighbours& neighbours, std::uint64_t generation,
                                  const CatalogueSnapshot& snapshot) const {
    if (profile.verdictsValid && profile.verdictsGeneration == generation) {
        return;
    }
    std::vector<std::pair<std::int32_t, double>> lenders;  // item, rating against the average
    for (const auto& [item, value] : profile.ratings) {
        if (value != profile.mean) {
            lenders.emplace_back(item, value - profile.mean);
        }
    }
    if (lenders.size() > kVerdictRatings) {
        std::nth_element(lenders.begin(), lenders.begin() + kVerdictRatings, lenders.end(),
                         [](const auto& a, const auto& b) {
                             return std::abs(a.second) != std::abs(b.second) ? std::abs(a.second) > std::abs(b.second)
                                                                             : a.first < b.first;
                         });
        lenders.resize(kVerdictRatings);
    }
    struct Sum {
        double first = 0;   // weighted verdicts
        double second = 0;  // weights
        double best = 0;    // the largest single vote in favour
        std::int32_t voter = 0;
    };
    std::unordered_map<std::int32_t, Sum> sums;  // item → its votes
    for (const auto& [item, deviation] : lenders) {
        for (const ItemNeighbours::Neighbour& neighbour : neighbours.Of(item)) {
            Sum& sum = sums[neighbour.item];
            const double vote = neighbour.similarity * deviation;
            sum.first += vote;
            sum.second += neighbour.similarity;
            if (vote > sum.best) {
                sum.best = vote;
                sum.voter = item;
            }
        }
    }
    // The listener folded into the hidden factors, from the same ratings.
    const ItemFactors& factors = neighbours.Factors();
    profile.taste = {};
    std::unordered_map<std::int32_t, double> leftOut;  // rated item → the factors' prediction without it
    if (!factors.Empty()) {
        std::vector<std::pair<std::int32_t, double>> deviations;
        for (const auto& [item, value] : profile.ratings) {
            if (deviations.size() == kVerdictRatings) break;
            deviations.emplace_back(item, value - profile.mean);
        }
        profile.taste = factors.FoldIn(deviations);
        for (std::size_t k = 0; k < profile.taste.items.size(); ++k) {
            leftOut.emplace(profile.taste.items[k], profile.taste.leftOut[k]);
        }
    }
    // The fit: deviation ≈ a · groups + b · verdict + c · factors over the
    // rated items, each predictor without the item's own rating (a rated
    // item is never its own neighbour). The verdicts' and the factors'
    // weights are b and c against a.
    double gg = kFitRidge, vv = kFitRidge, mm = kFitRidge, gv = 0, gm = 0, vm = 0, gd = 0, vd = 0, md = 0;
    for (const auto& [item, value] : profile.ratings) {
        const CatalogueEntry* entry = snapshot.Find(item);
        const auto sum = sums.find(item);
        if (entry == nullptr) {
            continue;
        }
        const double g = GroupsScore(profile, snapshot.KeysOf(*entry), value);
        const double v = sum == sums.end() ? 0.0 : sum->second.first / (sum->second.second + kVerdictShrink);
        const auto left = leftOut.find(item);
        const double m = left == leftOut.end() ? 0.0 : left->second;
        const double d = value - profile.mean;
        gg += g * g;
        vv += v * v;
        mm += m * m;
        gv += g * v;
        gm += g * m;
        vm += v * m;
        gd += g * d;
        vd += v * d;
        md += m * d;
    }
    // Groups first: the verdicts and the factors are weighed by what they add
    // to what the groups already foretell, together, neither below 0.
    const double a = std::max(gd / gg, 0.0);
    const double rv = vd - a * gv, rm = md - a * gm;
    double b = (rv * mm - rm * vm) / (vv * mm - vm * vm);
    double c = (rm * vv - rv * vm) / (vv * mm - vm * vm);
    if (b < 0 || c < 0) {
        b = rv / vv > rm / mm ? std::max(rv / vv, 0.0) : 0.0;
        c = b > 0 ? 0.0 : std::max(rm / mm, 0.0);
    }
    profile.verdictWeight = std::clamp(b / std::max(a, kFitFloor), 0.0, kMaxVerdictWeight) * settings_.neighbourWeight;
    profile.factorWeight = std::clamp(c / std::max(a, kFitFloor), 0.0, kMaxVerdictWeight) * settings_.factorWeight;
    profile.factorPicks.clear();
    if (profile.factorWeight > 0) {
        std::vector<std::pair<double, std::int32_t>> predicted;
        for (std::size_t n = 0; n < factors.Candidates().size(); ++n) {
            const double prediction = factors.PredictCandidate(profile.taste, n);
            if (prediction > 0 && !profile.rated.Contains(factors.Candidates()[n])) {
                predicted.emplace_back(prediction, factors.Candidates()[n]);
            }
        }
        const std::size_t keep = std::min(predicted.size(), kNeighbourPicks);
        std::partial_sort(predicted.begin(), predicted.begin() + static_cast<std::ptrdiff_t>(keep), predicted.end(),
                          std::greater<>());
        for (std::size_t k = 0; k < keep; ++k) profile.factorPicks.push_back(predicted[k].second);
    }

    std::vector<Verdict> verdicts;
    verdicts.reserve(sums.size());
    for (const auto& [item, sum] : sums) {
        if (profile.ratings.count(item) == 0) {
            verdicts.push_back({item, static_cast<float>(sum.first / (sum.second + kVerdictShrink)), sum.voter});
        }
    }
    const auto better = [](const Verdict& a, const Verdict& b) {
        return a.value != b.value ? a.value > b.value : a.item < b.item;
    };
    std::sort(verdicts.begin(), verdicts.end(), better);
    profile.neighbourPicks.clear();
    for (std::size_t k = 0; k < verdicts.size() && k < kNeighbourPicks && verdicts[k].value > 0; ++k) {
        profile.neighbourPicks.push_back(verdicts[k].item);
    }
    if (verdicts.size() > kKeptLiked + kKeptDisliked) {
        verdicts.erase(verdicts.begin() + kKeptLiked, verdicts.end() - kKeptDisliked);
    }
    std::sort(verdicts.begin(), verdicts.end(), [](const Verdict& a, const Verdict& b) { return a.item < b.item; });
    profile.verdicts = std::move(verdicts);
    profile.verdictsValid = true;
    profile.verdictsGeneration = generation;
}

// The groups' score of an entry; leaveOut (1 to 5) takes one rating of that
// value out of each of its groups first, as if the item were not rated.
double Recommender::GroupsScore(const Profile& profile, const EntryKeys& entry, int leaveOut) const {
    const auto preference = [&](GroupId group) {
        if (leaveOut == 0) {
            return Preference(profile, group);
        }
        const GroupStat* stat = group == kNoGroup ? nullptr : profile.stats.Find(group);
        if (stat == nullptr) {
            return 0.0;
        }
        return (stat->sum - leaveOut - kNeutral * (stat->count - 1)) / (stat->count - 1 + settings_.shrink);
    };
    return kArtistWeight * preference(entry.artist) + kAlbumWeight * preference(entry.album) +
           kGenreWeight * preference(entry.genre);
}

const Recommender::Verdict* Recommender::VerdictOf(const Profile& profile, std::int32_t item) const {
    const auto found = std::lower_bound(profile.verdicts.begin(), profile.verdicts.end(), item,
                                        [](const Verdict& verdict, std::int32_t id) { return verdict.item < id; });
    return found != profile.verdicts.end() && found->item == item ? &*found : nullptr;
}

// Thompson sampling: the groups' preferences as drawn for this request, so
// that a group the listener knows little of sometimes scores high (and gets
// tried) while one rated low rarely does; the neighbours' verdict; and what
// everyone made of the item.
double Recommender::Score(Profile& profile, const EntryKeys& entry, const ItemNeighbours* neighbours,
                          FlatIdMap<double, GroupId>& samples) const {
    double score = kArtistWeight * Sample(profile, entry.artist, false, samples) +
                   kAlbumWeight * Sample(profile, entry.album, false, samples) +
                   kGenreWeight * Sample(profile, entry.genre, true, samples);
    if (neighbours != nullptr) {
        if (const Verdict* verdict = VerdictOf(profile, entry.id); verdict != nullptr) {
            score += profile.verdictWeight * verdict->value;
        }
        if (profile.factorWeight > 0) {
            score += profile.factorWeight * neighbours->Factors().Predict(profile.taste, entry.id);
        }
        // What everyone liked speaks for a listener who told little yet; the
        // listener's own ratings take over as they come.
        score += settings_.priorWeight * kPriorRatings / (kPriorRatings + static_cast<double>(profile.ratings.size())) *
                 neighbours->Prior(entry.id);
    }
    return score;
}

// The largest of the parts Score adds up; exploration when none of them is in
// the item's favour (it came in on the random spread alone).
PickReason Recommender::ReasonFor(const Profile& profile, const EntryKeys& entry,
                                  const ItemNeighbours* neighbours) const {
    PickReason reason;
    reason.genreRated = entry.genre != kNoGroup && profile.stats.Contains(entry.genre);
    reason.artistRated = entry.artist != kNoGroup && profile.stats.Contains(entry.artist);
    double best = 0;
    // A group speaks for the item only where the listener's evidence for it
    // is clearly positive, not on an average near neutral over many ratings.
    const auto consider = [&](double weight, GroupId group, PickReason::Kind kind) {
        const double part = weight * Preference(profile, group);
        if (part > best && ClearlyLiked(profile, group)) {
            best = part;
            reason.kind = kind;
        }
    };
    consider(kArtistWeight, entry.artist, PickReason::Kind::Artist);
    consider(kAlbumWeight, entry.album, PickReason::Kind::Album);
    consider(kGenreWeight, entry.genre, PickReason::Kind::Genre);
    const Verdict* verdict = neighbours != nullptr ? VerdictOf(profile, entry.id) : nullptr;
    if (verdict != nullptr && verdict->voter != 0 && profile.verdictWeight * verdict->value > best) {
        const auto rating = profile.ratings.find(verdict->voter);
        if (rating != profile.ratings.end()) {
            best = profile.verdictWeight * verdict->value;
            reason.kind = PickReason::Kind::Neighbour;
            reason.voter = verdict->voter;
            reason.voterRating = rating->second;
        }
    }
    // The factors' prediction is a sum over the rated items: the one rated
    // above the listener's average that adds most to it is the reason.
    const ItemFactors* factors = neighbours != nullptr && profile.factorWeight > 0 ? &neighbours->Factors() : nullptr;
    if (factors != nullptr && profile.factorWeight * factors->Predict(profile.taste, entry.id) > best) {
        const std::vector<double> parts = factors->Contributions(profile.taste, entry.id);
        double strongest = 0;
        for (std::size_t k = 0; k < parts.size(); ++k) {
            const double part = profile.taste.deviations[k] > 0 ? parts[k] : 0;
            if (part > strongest) {
                strongest = part;
                reason.kind = PickReason::Kind::Neighbour;
                reason.voter = profile.taste.items[k];
                reason.voterRating = profile.ratings.at(reason.voter);
            }
        }
    }
    return reason;
}

std::vector<std::int32_t> Recommender::Recommend(std::int32_t listener, int count, const CatalogueSnapshot& snapshot,
                                                 std::vector<PickReason>* reasons) {
    std::vector<std::int32_t> chosen;
    if (reasons != nullptr) {
        reasons->clear();
    }
    const std::vector<std::uint32_t>& live = snapshot.Live();
    count = std::min(count, kMaxCount);
    if (count <= 0 || live.empty()) {
        return chosen;
    }
    std::shared_ptr<const ItemNeighbours> neighbours;
    std::shared_ptr<const GenreModel> genreModel;
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(neighboursMutex_);
        neighbours = neighbours_;
        genreModel = genreModel_;
        generation = neighboursGeneration_;
    }
    Profile& profile = ProfileOf(listener);
    std::lock_guard lock(profile.mutex);
    // Tied to the listener and the request, so a seeded run repeats exactly
    // whatever other listeners ask in between.
    profile.random.seed(Mix(seed_ ^ Mix(static_cast<std::uint64_t>(static_cast<std::uint32_t>(listener)) ^
                                        (++profile.requests << 32))));
    RefreshStats(profile, snapshot);
    DrawLoved(profile, genreModel.get());
    if (neighbours) {
        RefreshVerdicts(profile, *neighbours, generation, snapshot);
    }
    const std::vector<CatalogueEntry>& entries = snapshot.Entries();
    const std::vector<EntryKeys>& keys = snapshot.Keys();

    const auto isChosen = [&](std::int32_t item) {
        return std::find(chosen.begin(), chosen.end(), item) != chosen.end();
    };
    // New to the listener: unrated, and not offered within the recent memory.
    const auto eligible = [&](std::uint32_t index) {
        const std::int32_t item = keys[index].id;
        return !profile.rated.Contains(item) && !profile.lastOffered.Contains(item) && !isChosen(item);
    };
    FlatIdMap<double, GroupId> samples;

    // Candidates: a quarter each from the listener's favourite groups, from
    // the neighbours of items the listener liked and from the items everyone
    // liked (when there are neighbours), the rest from anywhere, each scored
    // once. Items of a genre or artist the listener rejected are left out.
    struct Candidate {
        std::uint32_t index;
        double score;
    };
    const int draws = std::max(32, 8 * count);
    std::vector<Candidate> pool;
    pool.reserve(static_cast<std::size_t>(draws));
    chosen.reserve(static_cast<std::size_t>(count));
    // Where a live item stands in the snapshot's entries.
    const auto liveIndex = [&](std::int32_t item) -> std::optional<std::uint32_t> {
        const CatalogueEntry* entry = snapshot.FindLive(item);
        if (entry == nullptr) return std::nullopt;
        return static_cast<std::uint32_t>(entry - entries.data());
    };
    const auto pooled = [&](std::uint32_t index) {
        return std::any_of(pool.begin(), pool.end(), [&](const Candidate& c) { return c.index == index; });
    };
    // The items everyone liked best in the listener's clearly liked genres
    // and artists are always weighed: the picks are never worse than what
    // the community would offer in them.
    // So are those of the genres drawn loved for this request.
    std::vector<GroupId> weighed(profile.clearlyLiked.begin(),
                                 profile.clearlyLiked.begin() +
                                     static_cast<std::ptrdiff_t>(std::min(profile.clearlyLiked.size(), kRankedGroups)));
    for (GroupId genre : profile.drawnLoved) {
        if (weighed.size() < 2 * kRankedGroups && std::find(weighed.begin(), weighed.end(), genre) == weighed.end()) {
            weighed.push_back(genre);
        }
    }
    for (std::size_t g = 0; neighbours && g < weighed.size(); ++g) {
        const auto ranked = Ranked(weighed[g], snapshot, *neighbours, generation);
        int added = 0;
        for (std::size_t k = 0; k < ranked->size() && k < kRankedWalk && added < count; ++k) {
            const auto index = liveIndex((*ranked)[k]);
            if (!index || !eligible(*index) || Rejected(profile, keys[*index]) || pooled(*index)) {
                continue;
            }
            pool.push_back({*index, Score(profile, keys[*index], neighbours.get(), samples)});
            ++added;
        }
    }
    // Genres the listener has not rated come in with the item everyone liked
    // best in each, one item per genre: trying a genre costs a pick, and the
    // item most likely to be liked tells the most.
    if (neighbours) {
        std::vector<GroupId> tried;
        const std::vector<std::int32_t>& popular = neighbours->Popular();
        for (std::size_t k = 0; k < popular.size() && tried.size() < static_cast<std::size_t>(2 * count); ++k) {
            const auto found = liveIndex(popular[k]);
            if (!found) {
                continue;
            }
            const std::uint32_t index = *found;
            const GroupId genre = keys[index].genre;
            if (genre == kNoGroup || profile.stats.Contains(genre) ||
                std::find(tried.begin(), tried.end(), genre) != tried.end() || !eligible(index) ||
                Rejected(profile, keys[index]) || pooled(index)) {
                continue;
            }
            tried.push_back(genre);
            pool.push_back({index, Score(profile, keys[index], neighbours.get(), samples)});
        }
    }
    // The items the hidden factors predict best for the listener.
    for (int k = 0, added = 0; k < static_cast<int>(profile.factorPicks.size()) && added < count; ++k) {
        const auto index = liveIndex(profile.factorPicks[static_cast<std::size_t>(k)]);
        if (!index || !eligible(*index) || Rejected(profile, keys[*index]) || pooled(*index)) {
            continue;
        }
        pool.push_back({*index, Score(profile, keys[*index], neighbours.get(), samples)});
        ++added;
    }
    const auto drawLive = [&](std::int32_t item) {
        const auto index = liveIndex(item);
        return index ? *index : live[Below(profile.random, live.size())];
    };
    for (int draw = 0; draw < draws; ++draw) {
        std::uint32_t index = 0;
        if (!profile.liked.empty() && (draw % 4 == 0 || draw % 4 == 3)) {
            const double pick = Uniform(profile.random) * profile.liked.back().second;
            const auto group = std::lower_bound(profile.liked.begin(), profile.liked.end(), pick,
                                                [](const auto& liked, double value) { return liked.second < value; });
            const std::vector<std::uint32_t>& members =
                snapshot.LiveInGroup(group == profile.liked.end() ? profile.liked.back().first : group->first);
            // Of a few members, the new one everyone liked best (a favourite
            // artist's items soon are all rated).
            index = members[Below(profile.random, members.size())];
            for (int other = 1; other < kGroupDraws; ++other) {
                const std::uint32_t challenger = members[Below(profile.random, members.size())];
                if (!eligible(index) ||
                    (neighbours && eligible(challenger) &&
                     neighbours->Prior(keys[challenger].id) > neighbours->Prior(keys[index].id))) {
                    index = challenger;
                }
            }
        } else if (neighbours && !profile.factorPicks.empty() && draw % 8 == 5) {
            index = drawLive(profile.factorPicks[Below(profile.random, profile.factorPicks.size())]);
        } else if (neighbours && !profile.neighbourPicks.empty() && draw % 4 == 1) {
            index = drawLive(profile.neighbourPicks[Below(profile.random, profile.neighbourPicks.size())]);
        } else if (neighbours && !neighbours->Popular().empty() && draw % 4 == 2) {
            index = drawLive(neighbours->Popular()[Below(profile.random, neighbours->Popular().size())]);
        } else {
            index = live[Below(profile.random, live.size())];
        }
        if (!eligible(index) || Rejected(profile, keys[index]) || pooled(index)) {
            continue;
        }
        pool.push_back({index, Score(profile, keys[index], neighbours.get(), samples)});
    }
    std::sort(pool.begin(), pool.end(), [](const Candidate& a, const Candidate& b) { return a.score > b.score; });

    // A listener with few ratings gives the scores little to go on: without
    // the community's priors, explore more, down to the configured share
    // after kSettledRatings ratings. With them, no pick is given to chance:
    // the unrated genres' best items and the posterior's draws explore, and
    // random draws among the candidates still reach items nobody rated.
    const bool priors = neighbours && !neighbours->Popular().empty();
    const double exploration =
        priors ? 0.0
               : std::max(settings_.exploration,
                          1.0 - static_cast<double>(profile.ratings.size()) / kSettledRatings);
    std::size_t next = 0;
    bool newOnesGone = false;
    bool onlyRejectedLeft = false;  // a walk found nothing new but rejected items
    std::size_t lovedTaken = 0;
    // `rotated`: the listener's rating of a loved item back in rotation.
    const auto take = [&](std::uint32_t index, std::int32_t rotated = 0) {
        if (reasons != nullptr) {
            PickReason reason;
            if (rotated != 0) {
                reason.kind = PickReason::Kind::Rotation;
                reason.voter = keys[index].id;
                reason.voterRating = rotated;
            } else {
                reason = ReasonFor(profile, keys[index], neighbours.get());
            }
            reasons->push_back(reason);
        }
        chosen.push_back(keys[index].id);
        snapshot.CountRecommended(index);
        Remember(profile, keys[index].id);
    };
    while (static_cast<int>(chosen.size()) < count) {
        if (Uniform(profile.random) < exploration) {
            // Explore: of a few random items, never of a genre or artist the
            // listener rejected, those of a genre new to the listener first,
            // then the one offered least so far.
            std::int64_t best = -1;
            bool bestNew = false;
            for (int draw = 0; draw < kExplorationDraws; ++draw) {
                const std::uint32_t index = live[Below(profile.random, live.size())];
                if (!eligible(index) || Rejected(profile, keys[index])) {
                    continue;
                }
                const bool isNew = keys[index].genre != kNoGroup && !profile.stats.Contains(keys[index].genre);
                if (best < 0 || (isNew && !bestNew) ||
                    (isNew == bestNew && snapshot.TimesRecommended(index) < snapshot.TimesRecommended(best))) {
                    best = index;
                    bestNew = isNew;
                }
            }
            if (best >= 0) {
                take(static_cast<std::uint32_t>(best));
                continue;
            }
        }
        while (next < pool.size() && (!eligible(pool[next].index) || SecondOfUnsure(profile, keys[pool[next].index],
                                                                                    chosen, snapshot))) {
            ++next;
        }
        if (next < pool.size()) {
            take(pool[next++].index);
            continue;
        }
        // The draws found too little: walk the catalogue from a random place,
        // while the memory says that something new is left; an item of a
        // rejected genre or artist only when nothing else is.
        if (!newOnesGone && NewLeft(profile, snapshot) > 0) {
            const std::size_t start = Below(profile.random, live.size());
            std::int64_t found = -1;
            std::int64_t rejected = -1;
            for (std::size_t k = 0; k < live.size() && found < 0; ++k) {
                const std::uint32_t index = live[(start + k) % live.size()];
                if (!eligible(index)) {
                    continue;
                }
                if (onlyRejectedLeft || !Rejected(profile, keys[index])) {
                    found = index;
                } else if (rejected < 0) {
                    rejected = index;
                }
            }
            onlyRejectedLeft = found < 0;
            found = found >= 0 ? found : rejected;
            if (found >= 0) {
                take(static_cast<std::uint32_t>(found));
                continue;
            }
        }
        newOnesGone = true;
        RefreshRotation(profile, listener, snapshot);
        if (lovedTaken < profile.rotation.size()) {
            // Least recently offered first: from the front, and to the back.
            const RotationPick pick = profile.rotation.front();
            profile.rotation.pop_front();
            const CatalogueEntry* entry = snapshot.FindLive(pick.item);
            if (entry == nullptr) {
                continue;  // gone since the rotation was made; it comes back with the next catalogue
            }
            profile.rotation.push_back(pick);
            ++lovedTaken;
            take(static_cast<std::uint32_t>(entry - entries.data()), pick.rating);
            continue;
        }
        // Nothing loved left for this answer: an unrated item again, the one
        // offered longest ago. Every unrated item is in the recent memory now.
        std::int64_t oldest = -1;
        for (auto it = profile.recent.begin(); it != profile.recent.end() && oldest < 0; ++it) {
            const std::uint64_t* last = profile.lastOffered.Find(it->first);
            const CatalogueEntry* entry = snapshot.FindLive(it->first);
            if (last != nullptr && *last == it->second && entry != nullptr && !profile.rated.Contains(it->first) &&
                !isChosen(it->first)) {
                oldest = entry - entries.data();
            }
        }
        if (oldest < 0) {
            break;
        }
        take(static_cast<std::uint32_t>(oldest));
    }
    return chosen;
}

}  // namespace vorn::station
