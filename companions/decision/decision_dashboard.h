// The decision dashboard for an incident commander: how far one alert or
// incident has reached, by site and department, who has not acknowledged,
// how fast screens showed it, and where a stand-down stands.
//
// The result is one JSON object, keys always in this order:
//   as_of             the clock time every lifecycle decision used
//   selection         why this alert: "requested" (the id given),
//                     "latest_live_incident", or "latest_alert" when no live
//                     incident exists
//   alert             id, title, kind ("live_incident", "exercise" or
//                     "stand_down"), is_test (boolean), created, expires,
//                     lifecycle ("active", "expired", "cancelled"),
//                     deployment_scope, conclusion_of, incident_title (the
//                     concluded incident's title for a stand-down, else null)
//   totals            counts of the alert's deliveries: "total", then one key
//                     per display status (the operator dashboard's rules), all
//                     nine known statuses present, unexpected ones after them
//   by_site           [{site, label, counts}], sites in configuration order and
//   by_department     [{department, label, counts}] likewise; only places with
//                     deliveries. A recipient counts once in each of its places
//                     ("sites" list, else "site"; "BOTH" is every one), so the
//                     places can add up to more than the total. A recipient no
//                     longer in the directory counts under a null place
//                     labelled "Not in the directory".
//   not_acknowledged  one entry per delivery without acknowledgement, in the
//                     order the deliveries were made: recipient_id, name
//                     (the dashboard's recipient name), channel,
//                     display_status, sites, departments
//   timing            desktop_deliveries, and to_display / to_acknowledge, each
//                     {count, median_seconds, p90_seconds} measured from
//                     creation (nearest-rank; null when there is no value)
//   silent_computers  addressed computers whose latest poll was more than 120 s
//                     before creation, or that never polled: id, name, last_seen.
//                     Only the latest poll is stored, so a computer that polled
//                     again after creation counts as reachable
//   stand_down        for a live incident: alert_id, created, lifecycle, counts
//                     and acknowledged_fraction of its stand-down (all null
//                     while there is none); null for other alerts
//
// Thread-safety: safe to call concurrently; it reads through its own
// connection in one read transaction and writes nothing.
#pragma once

#include "base/json_text.h"

namespace halvenor {

class Core;

// `request` is {"id": alert id} or {} (or an id of null) for the latest live
// incident (the newest alert that is live and not a stand-down), or the newest
// alert of any kind when there is no live incident.
// Throws DashboardInvalid for a request that is not an object, an id that is
// not text, an unknown id, or when no alert exists at all; a malformed
// directory surfaces as MissingKey, database failures as DatabaseError.
Json situation(Core& core, const Json& request);

}  // namespace halvenor
