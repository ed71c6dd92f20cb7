#pragma once
// The ordered column-to-value map of the upload statements (filled in with the upload handlers).
