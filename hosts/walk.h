// How a run finds the hosts file's folder, on every platform: the path
// walked a name at a time from its root, each name opened relative to the
// folder before it, on a handle the run holds, without following it; a link
// read from the handle that was checked, never again by its name, and
// followed only where no account but the system's could have made or
// changed it. The walk is written once, here; each platform gives the
// primitives it needs, as a class `Platform` with:
//
//   using Name = std::string or std::wstring   names as the platform spells them
//   using Held = ...                           an open entry, movable
//   static constexpr int kMaxLinks             how many links one path may lead through
//   static const char* const kNotRooted        why a path is not one the walk starts from
//   bool IsSeparator(Name::value_type)
//   Name Join(const Name& folder, const Name& name), Name Shown(const Name& path)
//   std::string Narrow(const Name&)            for messages
//   Status OpenRoot(const Name& path, Held* root, Name* shown, Name* rest)
//       the root an absolute path starts from, open; kNotFound for a path
//       that is not one the walk starts from
//   Status Open(const Held& folder, const Name& name, Held* entry)
//       the name in the folder, not followed; kNotFound when there is none
//   Status Describe(Held& entry, Kind* kind)
//   Status ReadLink(Held& link, LinkTarget<Name>* target)
//   Status CheckLink(const Held& link)          the link itself: only the system's
//                                                 accounts may change it
//   Status CheckMayChange(const Held& folder, const std::string& subject)
//   Status CheckMayRename(const Held& folder, const Held& entry, const std::string& subject)
//       only the system's accounts may change the folder at all, or rename
//       or remove what is in it (`entry`, the name taken from it)
//   Status Finish(Held folder, const Name& path, const Name& name)
//       hands over the folder reached, its path and the last name
//
// The three checks are the walk's: a link and the folder holding it; after a
// link, every folder on the way; the folder the last link leads to.

#ifndef HOSTS_WALK_H_
#define HOSTS_WALK_H_

#include <string>
#include <utility>
#include <vector>

#include "hosts/status.h"

namespace hosts {

// What a name on the way turned out to be.
enum class Kind {
  kFolder,
  kLink,          // a symbolic link or junction, which the walk may follow
  kNotFolder,     // a file, or anything else that is not a folder
  kUnfollowable,  // a folder that is a reparse point of a kind the walk does not follow
};

// Where a link leads: `rest` from its own folder, from the root of its
// volume, or from a root of its own (`root`, which ReadLink leaves to the
// walk to open).
template <typename Name>
struct LinkTarget {
  enum class From { kLinkFolder, kVolumeRoot, kNewRoot } from = From::kLinkFolder;
  Name path;  // the whole target, as the link says it
  Name rest;  // what the walk pushes: the target, or the part after a new root
};

template <typename Platform>
class Walk {
 public:
  using Name = typename Platform::Name;
  using Held = typename Platform::Held;

  explicit Walk(Platform& platform) : p_(platform) {}

  // Walks `path` (`narrow_path` in messages) to the folder of its last name.
  Status To(const std::string& narrow_path, const Name& path) {
    Held root;
    Name shown;
    Name rest;
    Status status = p_.OpenRoot(path, &root, &shown, &rest);
    if (status.code() == Code::kNotFound) {
      return Status::Failed(narrow_path + ": " + Platform::kNotRooted);
    }
    if (!status.ok()) return status;
    walked_.clear();
    walked_.push_back({std::move(root), shown});
    PushNames(rest);
    Name last;  // the last name, once reached
    bool found = false;
    int links = 0;
    while (!pending_.empty()) {
      const Name next = pending_.back();
      pending_.pop_back();
      if (next == Dots()) {
        if (walked_.size() > 1) walked_.pop_back();
        continue;
      }
      const Entry& here = walked_.back();
      const Name at = p_.Join(here.path, next);
      const std::string shown_at = p_.Narrow(at);
      Held held;
      status = p_.Open(here.held, next, &held);
      // A last name that is not there is the file the update creates.
      if (status.code() == Code::kNotFound && pending_.empty()) {
        last = next;
        found = true;
        break;
      }
      if (!status.ok()) return status.In(shown_at);
      // Where a link led, what is in each folder on the way must be the
      // system's to rename or remove: otherwise another account could choose
      // what the next name is.
      if (links > 0) {
        status = p_.CheckMayRename(here.held, held, "the folder " + p_.Narrow(p_.Shown(here.path)));
        if (!status.ok()) return status.In("follow the symbolic link " + narrow_path);
      }
      Kind kind = Kind::kNotFolder;
      if (status = p_.Describe(held, &kind); !status.ok()) return status.In(shown_at);
      if (kind != Kind::kLink) {
        if (pending_.empty()) {
          last = next;
          found = true;
          break;
        }
        if (kind == Kind::kNotFolder) return Status::Failed(shown_at + ": not a folder");
        if (kind == Kind::kUnfollowable) {
          return Status::Failed(shown_at + ": a reparse point of a kind this tool does not follow");
        }
        walked_.push_back({std::move(held), at});
        continue;
      }
      // What a link says is taken only from a link that no account but the
      // system's could have made or changed, in a folder no other can change.
      const std::string step = "follow the symbolic link " + shown_at;
      LinkTarget<Name> target;
      if (status = p_.ReadLink(held, &target); !status.ok()) return status.In(step);
      if (++links > Platform::kMaxLinks) {
        return Status::Failed("too many levels of symbolic links");
      }
      status = p_.CheckLink(held);
      if (status.ok()) {
        status = p_.CheckMayChange(here.held, "the folder holding it, " + p_.Narrow(here.path));
      }
      if (!status.ok()) return status.In(step);
      if (status = Follow(target, step); !status.ok()) return status;
    }
    if (!found) return Status::Failed(narrow_path + ": leads to a folder, not to a file");
    Entry& reached = walked_.back();
    // The folder the last link leads to is where the new file is made.
    if (links > 0) {
      status = p_.CheckMayChange(reached.held,
                                 "the folder it leads to, " + p_.Narrow(p_.Shown(reached.path)));
      if (!status.ok()) return status.In("follow the symbolic link " + narrow_path);
    }
    return p_.Finish(std::move(reached.held), reached.path, last);
  }

 private:
  // A folder on the way, held open, and its path as walked.
  struct Entry {
    Held held;
    Name path;
  };

  static Name Dots() {
    Name dots;
    dots.push_back('.');
    dots.push_back('.');
    return dots;
  }

  // Goes on from where `target` leads.
  Status Follow(const LinkTarget<Name>& target, const std::string& step) {
    using From = typename LinkTarget<Name>::From;
    if (target.from == From::kVolumeRoot) {
      walked_.erase(walked_.begin() + 1, walked_.end());
    } else if (target.from == From::kNewRoot) {
      Held root;
      Name shown;
      Name rest;
      Status status = p_.OpenRoot(target.path, &root, &shown, &rest);
      if (status.code() == Code::kNotFound) {
        return Status::Failed(step + ": its target, " + p_.Narrow(target.path) + ", is " +
                              Platform::kNotRooted);
      }
      if (!status.ok()) return status.In(step);
      walked_.clear();
      walked_.push_back({std::move(root), shown});
      PushNames(rest);
      return Status();
    }
    PushNames(target.rest);
    return Status();
  }

  // Pushes the names in `path` on the pending names, the last first, so
  // that the first is at the back; empty names and "." are left out.
  void PushNames(const Name& path) {
    std::vector<Name> in_order;
    Name name;
    for (const auto c : path) {
      if (p_.IsSeparator(c)) {
        Keep(std::move(name), &in_order);
        name.clear();
      } else {
        name.push_back(c);
      }
    }
    Keep(std::move(name), &in_order);
    pending_.insert(pending_.end(), in_order.rbegin(), in_order.rend());
  }

  static void Keep(Name name, std::vector<Name>* names) {
    if (!name.empty() && !(name.size() == 1 && name[0] == '.')) names->push_back(std::move(name));
  }

  Platform& p_;
  std::vector<Entry> walked_;  // from the root to the folder reached so far
  std::vector<Name> pending_;  // the names still to walk, the next at the back
};

}  // namespace hosts

#endif  // HOSTS_WALK_H_
