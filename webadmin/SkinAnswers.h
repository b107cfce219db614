// The skin and image answers of the web program: skin upload, skin editor page, skin preview,
// hourly diagram and logos.
#pragma once

#include "counterdb/UCounter.h"
#include "platform/Bitmap.h"
#include "platform/Cgi.h"

class TWM;

// The upload handler for a "multipart/form-data" POST: refuses it without the proof of origin,
// reads the whole body, and only then opens the database to store the skin of the part
// "file1"; answers a short page (or the unavailable text).
void WebModule1SaveImgAction(TWM& module, TWebRequest& request, TWebResponse& response);
// The logo handler (query field "img", or the path "/Images"); any index outside the logos
// gives logo 0.
void WebModule1ImgsAction(TWM& module, TWebRequest& request, TWebResponse& response);
// The preview GIF of the skin named by the query field "skin"; while the database is busy it
// tries 11 times, a second apart, then answers the "NO!" image.
void SkinPreviewAnswer(TWM& module, TWebRequest& request, TWebResponse& response);
// The hourly diagram answer (an empty GIF body).
void DiagramAnswer(TWM& module, TWebRequest& request, TWebResponse& response);

// The preview picture of the skin the query field "skin" names (skin 0 when it is not a
// number, outside the list or incomplete) drawing 220608; a "Sorry" picture for a nil counter.
TBitmap MakeSkinPreview(const TWebRequest& request, ICounter* counter);
