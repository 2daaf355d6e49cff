// Read-only views of the directory entries of a configuration document:
// users, receiving computers ("devices"), mobile contacts and groups.
//
// Every question the service asks of an entry (is it active, may this person
// manage users, may this computer show live alerts) is answered here, with
// the document's defaults, so that sign-in, targeting and the features cannot
// drift apart on who counts. A view points into a document and must not
// outlive the snapshot that holds it; it never copies or changes the entry.
#pragma once

#include <optional>
#include <string>

#include "base/json_text.h"

namespace halvenor {

// What users, computers and contacts share: an id and the two switches an
// administrator turns, "enabled" and "removed".
class EntryView {
 public:
  explicit EntryView(const Json& entry) : entry_(&entry) {}

  const Json& json() const { return *entry_; }
  // The "id" member; null when absent.
  const Json& id() const;
  // Removed entries stay in the document so that the audit trail's actors
  // keep a name; for everything else they are gone.
  bool removed() const;
  // "enabled" in any true form; an entry without it is enabled.
  bool enabled() const;
  // The one rule for who and what takes part: enabled and not removed. A
  // removed entry may still read "enabled" when the file was edited by hand,
  // and must still never sign in, act or be alerted.
  bool active() const { return enabled() && !removed(); }

 protected:
  const Json& member(const char* key, const Json& fallback) const;

 private:
  const Json* entry_;
};

// An entry of "users": a person at the dashboard.
class UserView : public EntryView {
 public:
  using EntryView::EntryView;

  bool is_operator() const;
  // A permission flag (can_manage_users, can_send_live, can_send_sms,
  // can_send_whatsapp) grants only when exactly JSON true.
  bool granted(const char* permission) const;
  // The one rule for administration: an active user holding can_manage_users.
  bool may_manage_users() const { return active() && granted("can_manage_users"); }
  // Signs in through the organisation's identity provider instead of a
  // stored credential.
  bool signs_in_through_organisation() const;
};

// An entry of "devices": a receiving computer running the desktop agent.
class ComputerView : public EntryView {
 public:
  using EntryView::EntryView;

  // allow_live_desktop, default true, grants only when exactly true.
  bool allows_live_desktop() const;
  // The name shown for the computer: its display name, else the Security
  // department's control room of its site, else its id.
  std::string display_name() const;
};

// An entry of "contacts": a person reached by SMS or WhatsApp.
class ContactView : public EntryView {
 public:
  using EntryView::EntryView;

  // Whether `now` falls inside the contact's "on_call" window (always, when
  // it has none). The window is {"start": "HH:MM", "end": "HH:MM", "days":
  // ["mon", ...]} in the server's local time; a window whose end is before
  // its start runs over midnight, and "days" (optional) names the day the
  // window starts on. A malformed window counts as always on call: silencing
  // a contact by a typing error is the worse failure when people's safety is
  // at stake.
  bool on_call(double now) const;
};

// An entry of "groups": a named list of computer and contact ids.
class GroupView {
 public:
  explicit GroupView(const Json& entry) : entry_(&entry) {}
  // The "members" list; throws MissingKey when absent.
  const Json& members() const;

 private:
  const Json* entry_;
};

// The entry that speaks for `id` in `list` (a directory list such as
// doc["users"]): the first active entry with that id, else the first entry
// with it. Ids are unique in a directory the service wrote; a hand-edited one
// may hold an id twice, and then the entry that can sign in is the one that
// acts, while a disabled or removed person is still found, and found inactive.
std::optional<UserView> find_user(const Json& users, const std::string& id);
std::optional<ComputerView> find_computer(const Json& devices, const std::string& id);

// Whether `actor` is a user of `doc` who may manage users (UserView::may_manage_users).
bool may_manage_users(const Json& doc, const std::string& actor);

// Whether users marked for organisation sign-in can sign in at all: the
// "organisation_identity" section's "enabled" is exactly true.
bool organisation_sign_in_enabled(const Json& doc);

}  // namespace halvenor
