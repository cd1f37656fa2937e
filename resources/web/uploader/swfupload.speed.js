/* Speed plug-in of the send-files page's uploader: before the page's handlers see a file's
   start, progress, success or error, it fills in the file's transfer figures:
   timeElapsed and timeRemaining (seconds), averageSpeed, currentSpeed and
   movingAverageSpeed (bytes per second), sizeUploaded (bytes) and percentUploaded. */

if (typeof SWFUpload === "function") {
	SWFUpload.speed = {};

	// Seconds as "hh:mm:ss" (hours keep counting past 99).
	SWFUpload.speed.formatTime = function (seconds) {
		var s = Math.max(0, Math.round(isFinite(seconds) ? seconds : 0));
		var two = function (n) { return (n < 10 ? "0" : "") + n; };
		return two(Math.floor(s / 3600)) + ":" + two(Math.floor(s / 60) % 60) + ":" + two(s % 60);
	};

	// Bytes as "512 B", "1.5 KB", "20.0 MB", "1.25 GB".
	SWFUpload.speed.formatBytes = function (bytes) {
		var units = [["GB", 1073741824, 2], ["MB", 1048576, 1], ["KB", 1024, 1]];
		for (var i = 0; i < units.length; i++) {
			if (bytes >= units[i][1]) {
				return (bytes / units[i][1]).toFixed(units[i][2]) + " " + units[i][0];
			}
		}
		return Math.round(bytes) + " B";
	};

	SWFUpload.speed.formatPercent = function (percent) {
		return percent.toFixed(2) + " %";
	};

	// How many of the latest progress samples the moving average spans.
	SWFUpload.speed.WINDOW = 10;

	SWFUpload.speed.start = function (file) {
		file.speedStart = Date.now();
		file.speedSamples = [{ time: file.speedStart, bytes: 0 }];
		SWFUpload.speed.update(file, 0);
	};

	SWFUpload.speed.update = function (file, loaded) {
		var now = Date.now();
		if (!file.speedSamples) {
			file.speedStart = now;
			file.speedSamples = [{ time: now, bytes: 0 }];
		}
		var samples = file.speedSamples;
		var last = samples[samples.length - 1];
		if (loaded !== last.bytes || now !== last.time) {
			samples.push({ time: now, bytes: loaded });
			if (samples.length > SWFUpload.speed.WINDOW + 1) {
				samples.shift();
			}
		}
		var elapsed = (now - file.speedStart) / 1000;
		var first = samples[0];
		var windowSeconds = (now - first.time) / 1000;
		var stepSeconds = (now - last.time) / 1000;

		file.timeElapsed = elapsed;
		file.sizeUploaded = loaded;
		file.percentUploaded = file.size > 0 ? loaded / file.size * 100 : 100;
		file.averageSpeed = elapsed > 0 ? loaded / elapsed : 0;
		file.currentSpeed = stepSeconds > 0 ? (loaded - last.bytes) / stepSeconds : file.averageSpeed;
		file.movingAverageSpeed = windowSeconds > 0 ? (loaded - first.bytes) / windowSeconds : file.averageSpeed;
		var speed = file.movingAverageSpeed > 0 ? file.movingAverageSpeed : file.averageSpeed;
		file.timeRemaining = speed > 0 ? (file.size - loaded) / speed : 0;
	};

	SWFUpload.plugins.push(function (swfu) {
		var wrap = function (name, before) {
			var page = swfu.settings[name];
			swfu.settings[name] = function () {
				before.apply(this, arguments);
				if (typeof page === "function") {
					return page.apply(this, arguments);
				}
				return undefined;
			};
		};
		wrap("upload_start_handler", function (file) {
			SWFUpload.speed.start(file);
		});
		wrap("upload_progress_handler", function (file, loaded) {
			SWFUpload.speed.update(file, loaded);
		});
		wrap("upload_success_handler", function (file) {
			SWFUpload.speed.update(file, file.size);
		});
		wrap("upload_error_handler", function (file) {
			if (file && file.speedSamples) {
				SWFUpload.speed.update(file, file.sizeUploaded || 0);
			}
		});
	});
}
