// The e-mail/URL rule's matcher: a hand-written equivalent of the rule's
// pattern that runs in time linear in the text's length.
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>

namespace quelbin::detail {

// Calls on_match(begin, end) with byte offsets for every e-mail address or URL
// of text, in order: the matches a backtracking search for the pattern below
// finds (leftmost start, first alternative, greedy repeats), each search
// starting where the previous match ended. The pattern, on single bytes with
// the C locale's classes:
//
//   (?:(?:[a-z0-9!#$%&'*+/=?^_`{|}~-]+(?:\.[a-z0-9!#$%&'*+/=?^_`{|}~-]+)*
//        |"(?:[\x01-\x08\x0b\x0c\x0e-\x1f\x21\x23-\x5b\x5d-\x7f]|\\[\x01-\x09\x0b\x0c\x0e-\x7f])*")
//      @(?:(?:[a-z0-9](?:[a-z0-9-]*[a-z0-9])?\.)+[a-z0-9](?:[a-z0-9-]*[a-z0-9])?
//        |\[(?:(?:OCTET)\.){3}(?:OCTET|[a-z0-9-]*[a-z0-9]:(?:[\x01-\x08\x0b\x0c\x0e-\x1f\x21-\x7f]
//                                                            |\\[\x01-\x09\x0b\x0c\x0e-\x7f])+)\]))
//   |https?://(?:www\.|(?!www))[a-zA-Z0-9][a-zA-Z0-9-]+[a-zA-Z0-9]\.[^\s"]{2,}
//   |www\.[a-zA-Z0-9][a-zA-Z0-9-]+[a-zA-Z0-9]\.[^\s"]{2,}
//   |https?://(?:www\.|(?!www))[a-zA-Z0-9]+\.[^\s"]{2,}
//   |www\.[a-zA-Z0-9]+\.[^\s"]{2,}
//   |[a-zA-Z0-9]+\.(?:gov|org|edu|net|com|co)\.[^\s"]{2,}
//
// with OCTET = 2(?:5[0-5]|[0-4][0-9])|1[0-9][0-9]|[1-9]?[0-9].
void for_each_email_or_url(std::string_view text,
                           const std::function<void(std::size_t, std::size_t)>& on_match);

}  // namespace quelbin::detail
