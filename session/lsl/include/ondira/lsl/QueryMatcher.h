#ifndef ONDIRA_LSL_QUERYMATCHER_H
#define ONDIRA_LSL_QUERYMATCHER_H

#include <pugixml.hpp>

#include <cstddef>
#include <string>
#include <unordered_map>

namespace ondira {
namespace lsl {

/// Decides whether a discovery query names this stream: the query is an XPath
/// 1.0 expression evaluated (by pugixml) as a boolean with the stream's <info>
/// element as its context node, over the full info, description included; so
/// `type='EEG'`, `name='Ondira' and source_id='x'` or
/// `count(desc/channels/channel)=4` all work. An empty query matches.
///
/// Evaluation costs grow with the power of the nesting depth of predicates, so
/// a query that nests predicates deeper than MAX_PREDICATE_DEPTH, is longer
/// than wire::MAX_QUERY, or is not XPath is refused (never answered); the
/// worst accepted query costs a few hundred milliseconds. Verdicts are kept
/// for the last queries (resolvers repeat theirs every half second).
///
/// Pure: no I/O, no clock. Not thread-safe: one matcher per thread.
class QueryMatcher
{
public:
    static constexpr int MAX_PREDICATE_DEPTH = 2;
    static constexpr std::size_t CACHED_QUERIES = 64;

    enum class Verdict { Match, NoMatch, Refused };

    /// `infoXml`: the stream's full info (infoXml(..., InfoPart::Full)).
    explicit QueryMatcher(const std::string& infoXml);

    Verdict evaluate(const std::string& query);
    /// Whether evaluate() would answer from its memory, at no cost.
    bool remembers(const std::string& query) const { return verdicts.count(query) != 0; }

    /// Length, characters and the nesting of predicates (outside string
    /// literals), before anything is compiled.
    static bool withinBounds(const std::string& query);

private:
    Verdict compute(const std::string& query) const;

    pugi::xml_document document;
    pugi::xml_node info;
    std::unordered_map<std::string, Verdict> verdicts;
};

} // namespace lsl
} // namespace ondira

#endif
