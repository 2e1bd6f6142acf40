#include "engine/progress_journal.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <unordered_map>
#include <utility>

#include "http/download.h"
#include "platform/platform.h"
#include "shell/app_log.h"
#include "shell/content_hash.h"
#include "shell/files.h"

namespace {

const char HEADER[] = "kelvane-journal 1";
// Longer lines are no journal's: skipped whole.
constexpr size_t MAX_LINE = 16384;

void add_field(std::string& line, const char* text) {
    line += '\t';
    for (const char* c = text; *c != '\0'; ++c) {
        switch (*c) {
            case '\\':
                line += "\\\\";
                break;
            case '\t':
                line += "\\t";
                break;
            case '\n':
                line += "\\n";
                break;
            case '\r':
                line += "\\r";
                break;
            default:
                line += *c;
        }
    }
}

void add_number(std::string& line, uint64_t number) {
    add_field(line, std::to_string(number).c_str());
}

// The fields of a line, escapes undone; false for a line no journal writes.
bool split_fields(const std::string& line, std::vector<std::string>* fields) {
    fields->assign(1, std::string());
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == '\0') return false;
        if (c == '\t') {
            fields->emplace_back();
            continue;
        }
        if (c == '\\') {
            if (++i == line.size()) return false;
            switch (line[i]) {
                case '\\':
                    c = '\\';
                    break;
                case 't':
                    c = '\t';
                    break;
                case 'n':
                    c = '\n';
                    break;
                case 'r':
                    c = '\r';
                    break;
                default:
                    return false;
            }
        }
        fields->back() += c;
    }
    return true;
}

bool parse_number(const std::string& text, uint64_t* out) {
    if (text.empty() || text.size() > 19) return false;
    uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    *out = value;
    return true;
}

// A name the job gives its images: "[m-]Y-M-D-H-M-N.ext".
bool is_image_name(const char* name) {
    if (std::strncmp(name, "m-", 2) == 0) name += 2;
    for (int field = 0; field < 6; ++field) {
        if (*name < '0' || *name > '9') return false;
        while (*name >= '0' && *name <= '9') ++name;
        if (field < 5 && *name++ != '-') return false;
    }
    if (*name++ != '.') return false;
    for (const char* extension : {"jpg", "jpeg", "png", "gif", "bmp"}) {
        if (std::strcmp(name, extension) == 0) return true;
    }
    return false;
}

// True when `path` lies inside `folder` (directly or in folders below it)
// without a step back up: a journal names nothing else.
bool inside(const std::string& folder, const std::string& path) {
    if (path.size() >= PATH_BUFFER_SIZE || path.size() <= folder.size() + 1 ||
        path.compare(0, folder.size(), folder) != 0)
        return false;
    size_t at = folder.size();
    if (folder.empty() || !platform::is_path_separator(folder.back())) {
        if (!platform::is_path_separator(path[at])) return false;
        ++at;
    }
    while (at <= path.size()) {
        size_t end = at;
        while (end < path.size() && !platform::is_path_separator(path[end])) ++end;
        const std::string part = path.substr(at, end - at);
        if (part.empty() || part == "." || part == "..") return false;
        at = end + 1;
    }
    return true;
}

std::string folder_part(const std::string& path) {
    const char* name = file_name_part(path.c_str());
    size_t length = static_cast<size_t>(name - path.c_str());
    if (length > 1) --length;
    return path.substr(0, length);
}

bool same_file(const platform::FileFacts& a, const platform::FileFacts& b) {
    return a.volume == b.volume && a.index == b.index;
}

// The file is there, of the size noted, and begins as an image does.
bool whole_image(const std::string& path, uint64_t size, platform::FileFacts* facts) {
    if (!platform::file_facts(path.c_str(), facts) || facts->size < 2 ||
        static_cast<uint64_t>(facts->size) != size)
        return false;
    FILE* file = platform::open_file(path.c_str(), "rb");
    if (file == nullptr) return false;
    unsigned char head[2];
    const bool image = std::fread(head, 1, 2, file) == 2 && is_supported_image(head) == 1;
    std::fclose(file);
    return image;
}

// What the lines said of one address, the last line of each kind winning.
struct Noted {
    bool filed = false;
    uint64_t size = 0;
    platform::FileFacts identity;
    std::string temporary;
    std::string path;
    bool waiting = false;
    uint64_t waitingSize = 0;
    std::string waitingTemporary;
};

// A temporary file with a second name that no flushed line gave: its final
// name is found by the file's identity.
struct Orphan {
    std::string address;
    std::string temporary;
    uint64_t size;
};

}  // namespace

std::string journal_name(const char* packagePath) {
    char absolute[PATH_BUFFER_SIZE];
    std::string path = packagePath;
    if (platform::absolute_path(packagePath, absolute, sizeof absolute) ==
        platform::AbsoluteResult::Done)
        path = absolute;
    // Windows names a file alike in either case.
    if (platform::PATH_SEPARATOR == '\\') {
        for (char& c : path) {
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        }
    }
    ContentHash hash;
    hash.add(path.data(), path.size());
    char name[48];
    std::snprintf(name, sizeof name, ".kelvane-journal-%016llx",
                  static_cast<unsigned long long>(hash.value()));
    return name;
}

ProgressJournal::~ProgressJournal() {
    close(false);
}

bool ProgressJournal::open(const char* folder, const char* packagePath) {
    folder_ = folder;
    char absolute[PATH_BUFFER_SIZE];
    package_ = platform::absolute_path(packagePath, absolute, sizeof absolute) ==
                       platform::AbsoluteResult::Done
                   ? absolute
                   : packagePath;
    char path[PATH_BUFFER_SIZE];
    if (!join_path(path, sizeof path, folder, journal_name(packagePath).c_str())) return false;
    switch (platform::open_journal(path, &file_)) {
        case platform::JournalOpen::Opened:
            break;
        case platform::JournalOpen::Held:
            app_log_format("[%s] 的搬家记录正被另一个任务使用，本次搬家不记录进度。", path);
            return false;
        case platform::JournalOpen::Unlockable:
            app_log_format("无法锁定搬家记录 [%s]：%s。本次搬家不记录进度。", path,
                           platform::last_file_error());
            return false;
        case platform::JournalOpen::Failed:
            app_log_format("无法建立搬家记录 [%s]：%s。本次搬家不记录进度。", path,
                           platform::last_file_error());
            return false;
    }
    read_old();
    return true;
}

void ProgressJournal::read_old() {
    FILE* file = platform::read_journal(file_);
    if (file == nullptr) return;
    std::unordered_map<std::string, Noted> noted;
    std::vector<std::string> order;  // addresses as first noted
    std::string line;
    std::vector<std::string> fields;
    bool first = true;
    bool tooLong = false;
    bool foreign = false;
    int c;
    do {
        c = std::fgetc(file);
        if (c != '\n' && c != EOF) {
            if (line.size() < MAX_LINE) {
                line += static_cast<char>(c);
            } else {
                tooLong = true;
            }
            continue;
        }
        // A line cut by the end of the file (a kill in mid-write) is no line.
        const bool whole = c == '\n' && !tooLong;
        if (c == EOF) lastLineCut_ = !line.empty();
        tooLong = false;
        if (!whole || !split_fields(line, &fields)) {
            if (first) foreign = true;
            first = false;
            line.clear();
            continue;
        }
        line.clear();
        if (first) {
            first = false;
            foreign = fields.size() != 2 || fields[0] != HEADER || fields[1] != package_;
            headerRead_ = !foreign;
            continue;
        }
        if (foreign) break;
        uint64_t size = 0;
        if (fields[0] == "W" && fields.size() == 4 && parse_number(fields[1], &size)) {
            auto [at, added] = noted.try_emplace(fields[2]);
            if (added) order.push_back(fields[2]);
            at->second.waiting = true;
            at->second.waitingSize = size;
            at->second.waitingTemporary = fields[3];
        } else if (fields[0] == "F" && fields.size() == 7 && parse_number(fields[1], &size)) {
            platform::FileFacts identity;
            if (!parse_number(fields[2], &identity.volume) ||
                !parse_number(fields[3], &identity.index))
                continue;
            auto [at, added] = noted.try_emplace(fields[4]);
            if (added) order.push_back(fields[4]);
            at->second.filed = true;
            at->second.size = size;
            at->second.identity = identity;
            at->second.temporary = fields[5];
            at->second.path = fields[6];
        }
    } while (c != EOF);
    std::fclose(file);
    if (foreign) {
        headerRead_ = false;
        return;
    }

    // Only this job's own kind of names, in its folder, owned by nobody alive.
    auto temporary_here = [&](const std::string& temporary, platform::FileFacts* facts) {
        return !temporary.empty() && inside(folder_, temporary) &&
               folder_part(temporary) == folder_ &&
               platform::temporary_is_unowned(temporary.c_str()) &&
               platform::file_facts(temporary.c_str(), facts);
    };
    auto image_here = [&](const std::string& image) {
        return inside(folder_, image) && is_image_name(file_name_part(image.c_str()));
    };
    auto keep = [&](const std::string& address, const std::string& image, bool waiting) {
        KeptImage kept;
        kept.address = address;
        (waiting ? kept.waiting : kept.path) = image;
        kept_.push_back(std::move(kept));
    };
    auto remove = [](const std::string& file) { platform::remove_file(file.c_str()); };

    std::vector<Orphan> orphans;
    std::set<std::string> folders{folder_};
    int removed = 0;
    for (const std::string& address : order) {
        const Noted& n = noted[address];
        platform::FileFacts temp;
        platform::FileFacts image;
        platform::FileFacts checked;
        bool decided = false;
        if (n.filed && image_here(n.path)) {
            folders.insert(folder_part(n.path));
            const bool tempHere = temporary_here(n.temporary, &temp);
            const bool imageHere = platform::file_facts(n.path.c_str(), &image);
            decided = true;
            if (tempHere && temp.links >= 2) {
                // Linked, and the journal was not yet on the disk.
                if (imageHere && same_file(image, temp)) {
                    if (whole_image(n.path, n.size, &checked)) {
                        keep(address, n.path, false);
                        oldTemporaries_.push_back(n.temporary);
                    } else {
                        remove(n.path);
                        remove(n.temporary);
                        removed += 2;
                    }
                } else {
                    orphans.push_back(Orphan{address, n.temporary, n.size});
                }
            } else if (tempHere) {
                // Never linked: the temporary file is still the image.
                if (whole_image(n.temporary, n.size, &checked)) {
                    keep(address, n.temporary, true);
                } else {
                    remove(n.temporary);
                    ++removed;
                }
            } else if (imageHere && same_file(image, n.identity)) {
                if (whole_image(n.path, n.size, &checked)) {
                    keep(address, n.path, false);
                } else {
                    remove(n.path);
                    ++removed;
                }
            } else {
                decided = false;
            }
        }
        if (decided || !n.waiting || !temporary_here(n.waitingTemporary, &temp)) continue;
        if (temp.links >= 2) {
            orphans.push_back(Orphan{address, n.waitingTemporary, n.waitingSize});
        } else if (whole_image(n.waitingTemporary, n.waitingSize, &checked)) {
            keep(address, n.waitingTemporary, true);
        } else {
            remove(n.waitingTemporary);
            ++removed;
        }
    }

    // After a power cut: the second name of a temporary file whose line did
    // not reach the disk, found among the job's images by the file itself.
    std::map<std::pair<uint64_t, uint64_t>, size_t> byIdentity;
    for (size_t i = 0; i < orphans.size(); ++i) {
        platform::FileFacts facts;
        if (platform::file_facts(orphans[i].temporary.c_str(), &facts))
            byIdentity[{facts.volume, facts.index}] = i;
    }
    for (const std::string& folder : folders) {
        if (byIdentity.empty()) break;
        for (const std::string& name : platform::file_names(folder.c_str())) {
            char image[PATH_BUFFER_SIZE];
            platform::FileFacts facts;
            if (!is_image_name(name.c_str()) ||
                !join_path(image, sizeof image, folder.c_str(), name.c_str()) ||
                !platform::file_facts(image, &facts))
                continue;
            const auto found = byIdentity.find({facts.volume, facts.index});
            if (found == byIdentity.end()) continue;
            const Orphan& orphan = orphans[found->second];
            platform::FileFacts checked;
            if (whole_image(image, orphan.size, &checked)) {
                keep(orphan.address, image, false);
                oldTemporaries_.push_back(orphan.temporary);
            } else {
                platform::remove_file(image);
                remove(orphan.temporary);
                removed += 2;
            }
            byIdentity.erase(found);
        }
    }
    if (!kept_.empty() || removed > 0) {
        app_log_format("接着上次中断的搬家：沿用 %d 张已下载的图片，删除 %d 个不完整的文件。",
                       static_cast<int>(kept_.size()), removed);
    }
}

bool ProgressJournal::write_line(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_ == nullptr || !begun_) return false;
    dirty_ = true;
    return platform::append_journal(file_, line.data(), line.size());
}

bool ProgressJournal::begin() {
    if (file_ == nullptr) return false;
    bool ready = true;
    if (!headerRead_) {
        // New, empty, or not this package's: started afresh.
        std::string header = HEADER;
        add_field(header, package_.c_str());
        header += '\n';
        ready = platform::replace_journal(file_, header.data(), header.size());
    } else if (lastLineCut_) {
        // Ended, so that the next line stands alone.
        ready = platform::append_journal(file_, "\n", 1);
    }
    // The dead job's lines reach the disk before the temporary names they
    // leave as the only trace of its images go.
    ready = ready && platform::flush_journal(file_);
    if (!ready) {
        app_log_format("无法写入搬家记录：%s。本次搬家不记录进度。", platform::last_file_error());
        platform::close_journal(file_, false);
        file_ = nullptr;
        return false;
    }
    for (const std::string& temporary : oldTemporaries_) platform::remove_file(temporary.c_str());
    oldTemporaries_.clear();
    begun_ = true;
    flusher_ = std::thread([this] { flush_loop(); });
    return true;
}

void ProgressJournal::note_waiting(const char* address, const char* temporary) {
    platform::FileFacts facts;
    if (!platform::file_facts(temporary, &facts)) return;
    std::string line = "W";
    add_number(line, static_cast<uint64_t>(facts.size));
    add_field(line, address);
    add_field(line, temporary);
    line += '\n';
    write_line(line);
}

platform::PlaceResult ProgressJournal::file(const char* address, const char* temporary,
                                            const char* target) {
    platform::FileFacts facts;
    const bool noted = begun_ && platform::file_facts(temporary, &facts);
    if (noted) {
        std::string line = "F";
        add_number(line, static_cast<uint64_t>(facts.size));
        add_number(line, facts.volume);
        add_number(line, facts.index);
        add_field(line, address);
        add_field(line, temporary);
        add_field(line, target);
        line += '\n';
        write_line(line);
    }
    if (!noted || linksUnsupported_) return platform::move_to_new_name(temporary, target);
    switch (platform::link_to_new_name(temporary, target)) {
        case platform::LinkResult::Done: {
            std::lock_guard<std::mutex> lock(mutex_);
            linked_.emplace_back(temporary);
            return platform::PlaceResult::Done;
        }
        case platform::LinkResult::Exists:
            return platform::PlaceResult::Exists;
        case platform::LinkResult::Unsupported:
            linksUnsupported_ = true;
            return platform::move_to_new_name(temporary, target);
        case platform::LinkResult::Failed:
            break;
    }
    return platform::PlaceResult::Failed;
}

bool ProgressJournal::flush_once() {
    std::vector<std::string> linked;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!dirty_ && linked_.empty()) return true;
        dirty_ = false;
        linked.swap(linked_);
    }
    // Every name taken here had its line written before it was linked.
    if (!platform::flush_journal(file_)) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!flushFailed_) {
            app_log_format("无法把搬家记录写入磁盘：%s", platform::last_file_error());
            flushFailed_ = true;
        }
        linked_.insert(linked_.end(), linked.begin(), linked.end());
        dirty_ = true;
        return false;
    }
    for (const std::string& temporary : linked) platform::remove_file(temporary.c_str());
    return true;
}

bool ProgressJournal::flush() {
    return file_ == nullptr || !begun_ || flush_once();
}

void ProgressJournal::flush_loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        wakeup_.wait_for(
            lock, std::chrono::milliseconds(static_cast<int>(JOURNAL_FLUSH_INTERVAL_S * 1000)));
        if (stopping_) break;
        lock.unlock();
        flush_once();
        lock.lock();
    }
}

void ProgressJournal::drain() {
    if (flusher_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
            wakeup_.notify_all();
        }
        flusher_.join();
    }
    if (file_ != nullptr && begun_ && !flush_once()) {
        // The images keep both names: the next run sorts them out.
        std::lock_guard<std::mutex> lock(mutex_);
        linked_.clear();
    }
}

void ProgressJournal::close(bool remove) {
    drain();
    if (file_ == nullptr) return;
    platform::close_journal(file_, remove);
    file_ = nullptr;
    begun_ = false;
}
