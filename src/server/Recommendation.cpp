#include "server/Recommendation.h"

namespace vorn {

void Recommendation::AddDetail(const std::string& name, const std::string& value) {
    if (name == "url") {
        mediaUrl_.ParseUrl(value);
    } else if (name == "Source") {
        sourceUrl_.ParseUrl(value);
    } else if (name == "Filename") {
        fileName_ = value;
    } else {
        details_.emplace(name, value);
    }
}

namespace {

std::string WithoutAngleBrackets(std::string text) {
    for (char& c : text) {
        if (c == '<') c = '(';
        if (c == '>') c = ')';
    }
    return text;
}

}  // namespace

void Recommendation::ReplaceAngleBrackets() {
    if (mediaUrl_.Url().find_first_of("<>") != std::string::npos) {
        mediaUrl_.ParseUrl(WithoutAngleBrackets(mediaUrl_.Url()));
    }
    if (sourceUrl_.Url().find_first_of("<>") != std::string::npos) {
        sourceUrl_.ParseUrl(WithoutAngleBrackets(sourceUrl_.Url()));
    }
    fileName_ = WithoutAngleBrackets(std::move(fileName_));
    DetailMap replaced;
    for (const auto& [name, value] : details_) {
        replaced.emplace(WithoutAngleBrackets(name), WithoutAngleBrackets(value));  // the first value stays
    }
    details_.swap(replaced);
}

bool Recommendation::IsComplete() const {
    return !mediaUrl_.IsEmpty() && !sourceUrl_.IsEmpty() && !fileName_.empty();
}

std::string Recommendation::Detail(const std::string& name) const {
    const auto found = details_.find(name);
    return found == details_.end() ? std::string() : found->second;
}

XmlElement Recommendation::ToXml() const {
    XmlElement record("<vornrecommendation></vornrecommendation>");
    record.SetChild("vornrecommendation", "<itemid></itemid>");
    record.SetChildInt("itemid", itemId_);
    record.SetChild("vornrecommendation", "<typeid></typeid>");
    record.SetChildInt("typeid", typeId_);
    record.SetChild("vornrecommendation", "<url></url>");
    record.SetChild("url", mediaUrl_.Url());
    record.SetChild("vornrecommendation", "<source></source>");
    record.SetChild("source", sourceUrl_.Url());
    record.SetChild("vornrecommendation", "<filename></filename>");
    record.SetChild("filename", fileName_);
    record.SetChild("vornrecommendation", "<details></details>");
    for (const auto& [name, value] : details_) {
        XmlElement detail("<detail><key></key><value></value></detail>");
        detail.SetChild("key", name);
        detail.SetChild("value", value);
        record.SetChild("details", detail);
    }
    return record;
}

std::unique_ptr<Recommendation> Recommendation::FromXml(XmlElement element) {
    if (!element.HasChild("vornrecommendation")) {
        return nullptr;
    }
    auto record = std::make_unique<Recommendation>(element.ChildInt("itemid"), element.ChildInt("typeid"));
    record->AddDetail("url", element.Child("url").Text());
    record->AddDetail("Source", element.Child("source").Text());
    record->AddDetail("Filename", element.Child("filename").Text());
    XmlElement details = element.Child("details");
    for (XmlElement detail = details.NextChild("detail"); !detail.IsEmpty();
         detail = details.NextChild("detail")) {
        record->AddDetail(detail.Child("key").Text(), detail.Child("value").Text());
    }
    if (!record->IsComplete()) {
        return nullptr;
    }
    return record;
}

}  // namespace vorn
