#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/yaml.h>

#include <map>
#include <sstream>

#include "platform/virtual_keys.h"
#include "soundset/pack_files.h"
#include "soundset/pack_tables.h"
#include "soundset/zip_archive.h"

namespace tapsound {

namespace {

// A profile is a few dozen nodes; past these bounds a file is hostile, and what was read plays.
constexpr int kMaxDepth = 32;
constexpr std::size_t kMaxEvents = 100000;
constexpr std::size_t kMaxVisits = 100000;

struct TooLarge {};

// Counts the parser's events, ending the parse of a file nested or sized past reason before
// the tree is built (the parser itself recurses far deeper).
class Bounds : public YAML::EventHandler {
  public:
    void OnDocumentStart(const YAML::Mark&) override {}
    void OnDocumentEnd() override {}
    void OnNull(const YAML::Mark&, YAML::anchor_t) override { count(); }
    void OnAlias(const YAML::Mark&, YAML::anchor_t) override { count(); }
    void OnScalar(const YAML::Mark&, const std::string&, YAML::anchor_t,
                  const std::string&) override {
        count();
    }
    void OnSequenceStart(const YAML::Mark&, const std::string&, YAML::anchor_t,
                         YAML::EmitterStyle::value) override {
        open();
    }
    void OnSequenceEnd() override { --_depth; }
    void OnMapStart(const YAML::Mark&, const std::string&, YAML::anchor_t,
                    YAML::EmitterStyle::value) override {
        open();
    }
    void OnMapEnd() override { --_depth; }

  private:
    void count() {
        if (++_events > kMaxEvents) throw TooLarge{};
    }
    void open() {
        count();
        if (++_depth > kMaxDepth) throw TooLarge{};
    }
    int _depth = 0;
    std::size_t _events = 0;
};

std::optional<YAML::Node> parsedProfile(const std::string& text) {
    try {
        std::istringstream first(text);
        YAML::Parser parser(first);
        Bounds bounds;
        parser.HandleNextDocument(bounds);
        return YAML::Load(text);
    } catch (...) {
        return std::nullopt;
    }
}

// Reads nodes within a bound on the work done: anchors and aliases share nodes, which a walk
// would otherwise visit again for every reference.
class Walk {
  public:
    // The node under `key` of a map, or an undefined node.
    YAML::Node at(const YAML::Node& node, const char* key) {
        if (!spend(1) || !node.IsMap()) return YAML::Node(YAML::NodeType::Undefined);
        const YAML::Node child = node[key];
        return child.IsDefined() ? child : YAML::Node(YAML::NodeType::Undefined);
    }
    std::string text(const YAML::Node& node) {
        if (!spend(1) || !node.IsScalar() || node.Scalar().size() > 4096) return {};
        return node.Scalar();
    }
    // A scalar as a list of one, or a list's first items.
    std::vector<YAML::Node> items(const YAML::Node& node, std::size_t most = kMaxPackFiles) {
        std::vector<YAML::Node> items;
        if (!spend(1)) return items;
        if (node.IsScalar() || node.IsMap()) items.push_back(node);
        if (!node.IsSequence()) return items;
        for (const YAML::Node& item : node) {
            if (items.size() >= most || !spend(1)) break;
            items.push_back(item);
        }
        return items;
    }
    bool spend(std::size_t work) {
        _work += work;
        return _work <= kMaxVisits;
    }

  private:
    std::size_t _work = 0;
};

struct Source {
    std::string press, release;
};

// Fills the slots of one section ("keys" or "buttons"): the default everywhere, then each named
// entry over it.
void readSection(Walk& walk, const YAML::Node& section,
                 const std::map<std::string, Source>& sources, platform::KeyNaming naming,
                 const char* namesKey, PackTables& tables, PackSounds& sounds) {
    struct Files {
        std::vector<std::string> press, release;
    };
    // The files of the sources one entry draws among.
    const auto filesOf = [&](const YAML::Node& node) {
        Files files;
        for (const YAML::Node& item : walk.items(node, kMaxVariants)) {
            const auto source = sources.find(walk.text(item));
            if (source == sources.end()) continue;
            files.press.push_back(source->second.press);
            if (!source->second.release.empty()) files.release.push_back(source->second.release);
        }
        return files;
    };
    const auto want = [&](SlotRef& press, SlotRef& release, const Files& files) {
        if (!walk.spend(files.press.size() + files.release.size() + 1)) return;
        sounds.wantFiles(press, files.press);
        sounds.wantFiles(release, files.release);
    };
    const bool buttons = naming == platform::KeyNaming::Buttons;
    if (const Files all = filesOf(walk.at(section, "default")); !all.press.empty()) {
        const std::size_t count = buttons ? kMouseButtonCount : kKeyCodeCount;
        for (std::size_t i = 0; i < count; ++i) {
            want(buttons ? tables.buttonPress[i] : tables.press[i],
                 buttons ? tables.buttonRelease[i] : tables.release[i], all);
        }
    }
    for (const YAML::Node& entry : walk.items(walk.at(section, "other"))) {
        const Files played = filesOf(walk.at(entry, "sound"));
        for (const YAML::Node& name : walk.items(walk.at(entry, namesKey))) {
            const auto code = platform::kernelCodeForKeyName(walk.text(name), naming);
            SlotRef* press = code ? slotOfKernelCode(tables, *code, false) : nullptr;
            if (press) want(*press, *slotOfKernelCode(tables, *code, true), played);
        }
    }
}

}  // namespace

std::optional<PackTables> keyboardsoundsProfileAtPath(const std::string& path,
                                                      const platform::FileManager& fileManager,
                                                      platform::SoundLoader& soundLoader,
                                                      const std::function<bool()>& stopped,
                                                      std::size_t budgetBytes) {
    const auto files = packFiles(path, fileManager, "profile.yaml");
    const auto text = packConfig(files.get(), stopped);
    const auto root = text ? parsedProfile(*text) : std::nullopt;
    if (!root || !root->IsMap()) return std::nullopt;
    PackTables tables;
    try {
        Walk walk;
        const YAML::Node profile = walk.at(*root, "profile");
        if (!profile.IsMap()) return std::nullopt;
        tables.mouse = caseFolded(walk.text(walk.at(profile, "device"))) == "mouse";
        std::map<std::string, Source> sources;
        for (const YAML::Node& entry : walk.items(walk.at(*root, "sources"))) {
            const std::string id = walk.text(walk.at(entry, "id"));
            const YAML::Node source = walk.at(entry, "source");
            Source files{walk.text(source), {}};
            if (source.IsMap()) {
                files = {walk.text(walk.at(source, "press")),
                         walk.text(walk.at(source, "release"))};
            }
            if (!id.empty() && !files.press.empty()) sources.emplace(id, std::move(files));
        }
        PackSounds sounds(*files);
        readSection(walk, walk.at(*root, "keys"), sources, platform::KeyNaming::KeyboardSounds,
                    "keys", tables, sounds);
        readSection(walk, walk.at(*root, "buttons"), sources, platform::KeyNaming::Buttons,
                    "buttons", tables, sounds);
        sounds.decode(soundLoader, stopped, budgetBytes);
    } catch (...) {
        return PackTables{};  // yaml-cpp reports what it cannot read by throwing
    }
    return tables;
}

}  // namespace tapsound
