#include <ondira/lsl/QueryMatcher.h>

#include <ondira/lsl/Wire.h>

#include <exception>

namespace ondira {
namespace lsl {

QueryMatcher::QueryMatcher(const std::string& infoXml)
{
    document.load_buffer(infoXml.data(), infoXml.size());
    info = document.child("info");
}

bool QueryMatcher::withinBounds(const std::string& query)
{
    if (query.size() > wire::MAX_QUERY)
        return false;
    int depth = 0;
    char quote = 0;
    for (const char c : query) {
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F)
            return false;
        if (quote != 0) {
            if (c == quote)
                quote = 0;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '[') {
            if (++depth > MAX_PREDICATE_DEPTH)
                return false;
        } else if (c == ']') {
            --depth;
        }
    }
    return true;
}

QueryMatcher::Verdict QueryMatcher::compute(const std::string& query) const
{
    if (query.empty())
        return Verdict::Match;
    if (!withinBounds(query) || !info)
        return Verdict::Refused;
    try {
        const pugi::xpath_query compiled(query.c_str());
        if (!compiled)
            return Verdict::Refused;
        return compiled.evaluate_boolean(info) ? Verdict::Match : Verdict::NoMatch;
    } catch (const std::exception&) {
        // pugixml reports a syntax error (xpath_exception) or a lack of memory so.
        return Verdict::Refused;
    }
}

QueryMatcher::Verdict QueryMatcher::evaluate(const std::string& query)
{
    const auto known = verdicts.find(query);
    if (known != verdicts.end())
        return known->second;
    const Verdict verdict = compute(query);
    if (verdicts.size() >= CACHED_QUERIES)
        verdicts.clear();
    verdicts.emplace(query, verdict);
    return verdict;
}

} // namespace lsl
} // namespace ondira
