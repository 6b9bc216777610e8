#include "link.h"

#include <map>
#include <set>
#include <utility>
#include <vector>

#include "call_scope.h"
#include "content.h"
#include "error.h"
#include "inspect.h"
#include "page.h"

namespace quillet {

namespace {

// Adds `weight` to the bytes `copied` so far by one call.
void charge_target_bytes(size_t& copied, size_t weight, std::string_view context, std::string_view what) {
    copied += weight;
    if (copied > kMaxTargetBytes) throw PdfError::limit_exceeded(context, kMaxTargetBytes, what);
}

size_t target_weight(const LinkTarget& target) {
    if (const auto* uri = std::get_if<LinkTarget::Uri>(&target.value)) return uri->uri.size();
    if (const auto* named = std::get_if<LinkTarget::Named>(&target.value)) return named->name.size();
    if (const auto* destination = std::get_if<LinkTarget::Destination>(&target.value)) {
        return copy_weight(destination->destination);
    }
    return copy_weight(std::get<LinkTarget::Action>(target.value).action);
}

}  // namespace

// ---- annotations ----

std::optional<std::array<double, 4>> annotation_rect(std::span<const double> numbers) {
    if (numbers.size() != 4) return std::nullopt;
    return std::array<double, 4>{numbers[0], numbers[1], numbers[2], numbers[3]};
}

std::vector<PageAnnotation> Document::page_annotations(const PageEntry& page) const {
    // /Annots belongs to the page itself; it is not inherited.
    const Object* annots = page.dictionary->get("Annots");
    if (!annots) return {};
    const Array* array = resolve(*annots).as_array();
    if (!array) throw PdfError::type_mismatch("page /Annots", "array");

    std::vector<PageAnnotation> out;
    out.reserve(array->size());
    for (const Object& element : *array) {
        const Dictionary& dictionary = resolve_to_dictionary(element, "page /Annots item");
        out.push_back(PageAnnotation{&dictionary, element.as_reference()});
    }
    // One /Annots array may serve every page of a file.
    charge_work("page /Annots", out.size() * kRecordWorkBytes);
    return out;
}

// ---- links and destinations ----

const char* LinkTarget::kind_label() const {
    static constexpr const char* kLabels[] = {"uri", "named", "destination", "action"};
    return kLabels[value.index()];
}

std::string LinkTarget::text() const {
    if (const Uri* uri = std::get_if<Uri>(&value)) return uri->uri;
    if (const Named* named = std::get_if<Named>(&value)) return named->name;
    if (const Destination* destination = std::get_if<Destination>(&value)) {
        return object_to_text(destination->destination);
    }
    return dictionary_to_text(std::get<Action>(value).action);
}

Object destination_object(const Document& document, const Object& value, std::string_view context) {
    const Object& object = document.resolve(value);
    // A destination dictionary wraps the destination in /D (it may also
    // carry a structure destination, which is not read).
    if (const Dictionary* dictionary = object.as_dictionary()) {
        const Object* d = dictionary->get("D");
        if (!d) throw PdfError::missing_entry(context, "D");
        return document.resolve(*d);
    }
    return object;
}

LinkTarget destination_target(const Document& document, const Object& value) {
    const Object& object = document.resolve(value);
    if (const std::string* name = object.as_name()) return LinkTarget{LinkTarget::Named{utf8_lossy(*name)}};
    if (const std::string* string = object.as_string()) {
        return LinkTarget{LinkTarget::Named{decode_text_string(*string)}};
    }
    return LinkTarget{LinkTarget::Destination{object}};
}

LinkTarget action_target(const Document& document, const Dictionary& action) {
    // /S is read as stored: an indirect /S is no known action type.
    const Object* type = action.get("S");
    if (type && type->is_name("GoTo")) {
        const Object* destination = action.get("D");
        if (!destination) throw PdfError::missing_entry("GoTo action", "D");
        return destination_target(document, *destination);
    }
    if (type && type->is_name("URI")) {
        const Object* uri = action.get("URI");
        if (!uri) throw PdfError::missing_entry("URI action", "URI");
        const std::string* bytes = uri->as_string();
        if (!bytes) throw PdfError::type_mismatch("URI action /URI", "string");
        return LinkTarget{LinkTarget::Uri{decode_text_string(*bytes)}};
    }
    return LinkTarget{LinkTarget::Action{action}};
}

std::optional<LinkTarget> link_target(const Document& document, const Dictionary& annotation) {
    // An action, when present, decides; /Dest is then not looked at.
    if (const Object* action = annotation.get("A")) {
        return action_target(document, document.resolve_to_dictionary(*action, "link annotation /A"));
    }
    if (const Object* destination = annotation.get("Dest")) return destination_target(document, *destination);
    return std::nullopt;
}

std::vector<Link> Document::page_links(const PageEntry& page) const {
    std::vector<Link> links;
    size_t copied = 0;
    for (const PageAnnotation& annotation : page_annotations(page)) {
        const Object* subtype = annotation.dictionary->get("Subtype");
        if (!subtype || !subtype->is_name("Link")) continue;
        std::optional<LinkTarget> target = link_target(*this, *annotation.dictionary);
        if (target) {
            const size_t weight = target_weight(*target);
            charge_target_bytes(copied, weight, "page links", "bytes of link targets");
            charge_work("page links", weight);
        }
        links.push_back(Link{std::move(target), annotation.dictionary, annotation.id});
    }
    return links;
}

std::map<std::string, Object> Document::named_destinations() const {
    const Dictionary& catalog = this->catalog();
    std::map<std::string, Object> destinations;
    size_t copied = 0;
    const auto insert = [&](std::string name, Object destination) {
        charge_target_bytes(copied, name.size() + copy_weight(destination), "named destinations",
                            "bytes of destinations");
        destinations.insert_or_assign(std::move(name), std::move(destination));
    };

    // The PDF 1.1 form: a dictionary from name to destination.
    if (const Object* dests = catalog.get("Dests")) {
        for (const auto& [key, value] : resolve_to_dictionary(*dests, "catalog /Dests")) {
            insert(utf8_lossy(key), destination_object(*this, value, "catalog /Dests value"));
        }
    }
    // The PDF 1.2 form: a name tree, whose entries override the dictionary's.
    if (const Object* names = catalog.get("Names")) {
        if (const Object* tree = resolve_to_dictionary(*names, "catalog /Names").get("Dests")) {
            std::map<std::string, const Object*> entries;
            std::set<ObjectId> visited;
            collect_name_tree_entries(*tree, "catalog /Names /Dests", entries, visited);
            for (const auto& [name, value] : entries) {
                insert(name, destination_object(*this, *value, "name tree destination"));
            }
        }
    }
    return destinations;
}

// ---- shared by the navigation walks ----

size_t copy_weight(const Dictionary& dictionary) {
    size_t weight = 6;  // "<< " and " >>"
    for (const auto& [key, value] : dictionary) weight += 2 + key.size() + copy_weight(value);
    return weight;
}

size_t copy_weight(const Object& object) {
    // Loaded objects nest at most as deep as the parser allows, so this
    // recursion is bounded.
    switch (object.kind()) {
        case Object::kName:
            return 1 + object.as_name()->size();
        case Object::kString:
            return 2 + object.as_string()->size();
        case Object::kArray: {
            size_t weight = 2;
            for (const Object& element : *object.as_array()) weight += 1 + copy_weight(element);
            return weight;
        }
        case Object::kDictionary:
            return copy_weight(*object.as_dictionary());
        case Object::kStream:
            return copy_weight(object.as_stream()->dict) + object.as_stream()->data.size();
        default:
            return 8;
    }
}

}  // namespace quillet
