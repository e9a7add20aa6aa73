// Moving extracted entries from the staging folder into the destination,
// one rename each, with the user deciding every conflict.
#pragma once

#include <string>
#include <vector>

namespace cindral {

struct ExtractItem;
class JobHost;

// Folders are created, files moved; an existing file is only replaced, kept
// beside or skipped as the user answers; where nobody can be asked, a
// conflict ends the job.
void PublishExtractedItems(const std::wstring& destination, const std::wstring& staging,
                           const std::vector<ExtractItem>& items, JobHost& host);

// The name for the n-th "keep both" attempt: "report.pdf", 1 -> "report (1).pdf".
std::wstring NumberedName(const std::wstring& file_name, unsigned number);

}  // namespace cindral
